#include "link/TraceLog.h"

#include "platform/OutsideText.h"

#include <QDateTime>
#include <QFile>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray Stamp(qint64 Time)
{
    return QDateTime::fromMSecsSinceEpoch(Time).toString("yyyy-MM-dd hh:mm:ss.zzz").toLatin1();
}

QByteArray HexBytes(const QByteArray& Bytes)
{
    return Bytes.toHex(' ').toUpper();
}

QByteArray QuotedBytes(const QByteArray& Bytes)
{
    QByteArray text = "\"";
    for (char c : Bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            text += '\\';
            text += c;
        } else if (byte >= 0x20 && byte <= 0x7E) {
            text += c;
        } else {
            text += "\\x" + QByteArray::number(byte, 16).rightJustified(2, '0').toUpper();
        }
    }
    return text + '"';
}

const char* const IsTheImage = "it is the image file";
const char* const IsALink = "it is a symbolic link";
const char* const NotAFile = "it is not a regular file";

bool SameFile(const struct stat& File, const QString& Other)
{
    struct stat other {};
    return !Other.isEmpty() && ::stat(QFile::encodeName(Other).constData(), &other) == 0 &&
           other.st_dev == File.st_dev && other.st_ino == File.st_ino;
}

}  // namespace

QByteArray TraceLine(qint64 Time, char Direction, const QByteArray& Bytes, bool Hex)
{
    return Stamp(Time) + (Direction == 'T' ? " SND " : " RCV ") +
           QByteArray::number(Bytes.size()).rightJustified(4, ' ') + ' ' +
           (Hex ? HexBytes(Bytes) : QuotedBytes(Bytes));
}

// ---- the ring ----

void TTraceLog::SetSize(unsigned Size)
{
    FSize = Size;
    Clear();
}

void TTraceLog::Add(char Direction, const QByteArray& Data)
{
    if (!FRecording || FSize == 0)
        return;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    bool first = true;
    for (char c : Data) {
        const TEntry entry{now, Direction, first, static_cast<unsigned char>(c)};
        first = false;
        if (FEntries.size() < FSize) {
            FEntries.push_back(entry);
        } else {
            FEntries[FFirst] = entry;  // the oldest entry makes room
            FFirst = (FFirst + 1) % FSize;
        }
    }
}

QByteArray TTraceLog::Format(bool Hex) const
{
    QByteArray text;
    for (unsigned i = 0; i < Count();) {
        const TEntry& start = At(i);
        QByteArray bytes(1, static_cast<char>(start.Byte));
        for (++i; i < Count() && !At(i).StartsText; ++i)
            bytes += static_cast<char>(At(i).Byte);
        text += TraceLine(start.Time, start.Direction, bytes, Hex) + '\n';
    }
    return text;
}

bool TTraceLog::WriteTo(const QString& FileName, bool Append, bool Hex) const
{
    QFile file(FileName);
    const auto mode = QIODevice::WriteOnly | (Append ? QIODevice::Append : QIODevice::Truncate);
    if (!file.open(mode))
        return false;
    return file.write(Format(Hex)) >= 0;
}

// ---- the live file ----

QString TraceFileProblem(const QString& FileName, const QString& Keep)
{
    struct stat file {};
    if (::lstat(QFile::encodeName(FileName).constData(), &file) != 0)
        return QString();  // a new file
    if (S_ISLNK(file.st_mode))
        return IsALink;
    if (!S_ISREG(file.st_mode))
        return NotAFile;
    return SameFile(file, Keep) ? IsTheImage : QString();
}

// The file is looked at before it is opened (opening a serial line alone can
// reset its instrument), opened without following a link and without waiting
// on a pipe, looked at again, and only then emptied.
int OpenWrittenFile(const QString& FileName, const QString& Keep, QString* Failure)
{
    *Failure = TraceFileProblem(FileName, Keep);
    if (!Failure->isEmpty())
        return -1;
    const int handle = ::open(QFile::encodeName(FileName).constData(),
                              O_WRONLY | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, 0600);
    if (handle < 0) {
        *Failure = errno == ELOOP ? QString(IsALink) : qt_error_string(errno);
        return -1;
    }
    struct stat file {};
    if (::fstat(handle, &file) != 0 || !S_ISREG(file.st_mode))
        *Failure = NotAFile;
    else if (SameFile(file, Keep))
        *Failure = IsTheImage;
    else if (::ftruncate(handle, 0) != 0)
        *Failure = qt_error_string(errno);
    if (!Failure->isEmpty()) {
        ::close(handle);
        return -1;
    }
    return handle;
}

TTraceFile::TTraceFile(const QString& FileName, const QString& Keep) : FFile(FileName)
{
    const int handle = OpenWrittenFile(FileName, Keep, &FFailure);
    if (handle < 0)
        return;
    // Unbuffered: each line goes to the file when it is written, and a full
    // disk is known at that line, not at some later flush.
    if (!FFile.open(handle, QIODevice::WriteOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
        FFailure = FFile.errorString();
        ::close(handle);
    }
}

qint64 TTraceFile::Now()
{
    return QDateTime::currentMSecsSinceEpoch();
}

void TTraceFile::Note(const QString& Text)
{
    // What came from outside can neither start a false line nor drive a
    // terminal showing the file.
    Write("# " + Stamp(Now()) + ' ' + OutsideText::Lines(Text, ' ').toUtf8());
}

void TTraceFile::Write(const QByteArray& Line)
{
    if (!Ok() || FFailed)
        return;
    const QByteArray whole = Line + '\n';
    if (FFile.write(whole) == whole.size())
        return;
    FFailed = true;
    FFailure = FFile.errorString();
    if (FFailure.isEmpty() || FFailure == "Unknown error")
        FFailure = "the line was written only in part";
    if (OnFailed)
        OnFailed(FFailure);
}
