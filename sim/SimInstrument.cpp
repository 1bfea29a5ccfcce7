#include "sim/SimInstrument.h"

namespace {

QByteArray reply(const char* word, const QByteArray& command)
{
    return QByteArray(word) + command.at(3);
}

QByteArray pageBytes(int page)
{
    QByteArray bytes(2, '\0');
    bytes[0] = static_cast<char>((page >> 8) & 0xFF);
    bytes[1] = static_cast<char>(page & 0xFF);
    return bytes;
}

int pageOf(const QByteArray& command)
{
    return static_cast<quint8>(command.at(4)) * 256 + static_cast<quint8>(command.at(5));
}

} // namespace

QByteArray simGarbage(int size)
{
    QByteArray noise(size, Qt::Uninitialized);
    quint32 x = 0x2545F491u;
    for (char& c : noise) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x & 0xFF);
        if (c == 'A') {
            c = 'a';
        }
    }
    return noise;
}

SimInstrument::SimInstrument(const SimFaults& faults, const QByteArray& initialFlash,
                             const QByteArray& version)
    : m_faults(faults), m_flash(initialFlash), m_version(version)
{
    m_flash.resize(SampleImage::ImageSize, '\xFF');
}

QList<SimAnswer> SimInstrument::feed(const QByteArray& bytes)
{
    m_input += bytes;
    QList<SimAnswer> answers;
    for (int length = completeLength(); length > 0; length = completeLength()) {
        answers.append(answer(m_input.left(length)));
        m_input.remove(0, length);
    }
    return answers;
}

// The length of the command at the front of the input when it is all there, else 0.
int SimInstrument::completeLength() const
{
    if (m_input.size() < CommandLength) {
        return 0;
    }
    const int needed = m_input.startsWith("WEP") ? PageCommandLength : CommandLength;
    return m_input.size() >= needed ? needed : 0;
}

SimAnswer SimInstrument::answer(const QByteArray& command)
{
    const QByteArray word = command.left(3);
    SimAnswer result{command, {}, false, false};
    if (m_silent) {
        result.dropped = true;
        return result;
    }
    if (word == "ENQ") {
        result.text = reply("ACK", command);
    } else if (word == "WHO") {
        result.text = reply("ACK", command) + identity();
    } else if (word == "VFL") {
        result.text = reply("ACK", command) + m_version;
    } else if (word == "WEP") {
        result = answerPage(command);
    } else if (word == "PFM") {
        result = answerProgram(command);
    } else {
        result.text = reply("NAK", command);
    }
    return result;
}

QByteArray SimInstrument::identity() const
{
    return m_faults.wrongType ? QByteArray("12") : QByteArray("16");
}

SimAnswer SimInstrument::answerPage(const QByteArray& command)
{
    ++m_pageCommands;
    const int page = pageOf(command);
    const bool nakFault = m_faults.nakEvery > 0 && m_pageCommands % m_faults.nakEvery == 0;
    const bool failing = m_faults.nakFromPage >= 0 && page >= m_faults.nakFromPage;
    const bool positive = !nakFault && !failing && pageIsGood(command, page);
    if (positive) {
        m_flash.replace(page * SampleImage::PageSize, SampleImage::PageSize,
                        command.mid(6, SampleImage::PageSize));
    }
    SimAnswer result{command, reply(positive ? "ACK" : "NAK", command) + pageBytes(page), false,
                     false};
    applyPageFaults(result, page, positive);
    return result;
}

// A page is taken when it lies inside the flash and its checksum matches its data.
bool SimInstrument::pageIsGood(const QByteArray& command, int page) const
{
    if (page >= SampleImage::PageCount) {
        return false;
    }
    const quint16 sent = static_cast<quint16>(static_cast<quint8>(command.at(262)) * 256
                                              + static_cast<quint8>(command.at(263)));
    return SampleImage::pageChecksum(command.mid(6, SampleImage::PageSize)) == sent;
}

void SimInstrument::applyPageFaults(SimAnswer& result, int page, bool positive)
{
    if (page == m_faults.dropPage && !m_dropDone) {
        m_dropDone = true;
        result.dropped = true;
        return;
    }
    if (page == m_faults.garbagePage && !m_garbageDone) {
        m_garbageDone = true;
        result.text = simGarbage(64 * 1024);
        return;
    }
    if (m_faults.shortAnswers) {
        result.text = result.text.left(4);
    }
    if (!positive) {
        return;
    }
    if (page == m_faults.silentAfterPage) {
        m_silent = true;
    }
    if (m_faults.wrongEchoAlways || (page == m_faults.wrongEchoPage && !m_wrongEchoDone)) {
        m_wrongEchoDone = true;
        result.text = result.text.left(4) + pageBytes(page + 1);
    }
    if (page == m_faults.loseAfterPage && !m_loseDone) {
        m_loseDone = true;
        result.loseLink = true;
    }
}

SimAnswer SimInstrument::answerProgram(const QByteArray& command)
{
    if (m_faults.pfmNak) {
        return {command, reply("NAK", command), false, false};
    }
    ++m_programCount;
    if (!m_faults.keepVersion) {
        m_version = SampleImage::versionOf(m_flash);
    }
    m_silent = m_faults.silentAfterProgram;
    return {command, reply("ACK", command), false, false};
}
