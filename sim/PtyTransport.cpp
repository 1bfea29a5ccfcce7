#include "sim/PtyTransport.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

QString systemError(const char* what)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(what), QString::fromLocal8Bit(strerror(errno)));
}

} // namespace

PtyTransport::PtyTransport(const QString& linkPath, QObject* parent)
    : SimTransport(parent), m_linkPath(linkPath)
{
    connect(&m_writer, &DescriptorWriter::failed, this,
            [this](const QString& reason) { emit failed(QStringLiteral("writing the pseudo-terminal: ") + reason); });
}

PtyTransport::~PtyTransport()
{
    closeAll();
}

bool PtyTransport::open(QString* error)
{
    if (!openMaster(error) || !openSlaveHolder(error) || !makeLink(error)) {
        closeAll();
        return false;
    }
    m_readNotifier = std::make_unique<QSocketNotifier>(m_master, QSocketNotifier::Read);
    connect(m_readNotifier.get(), &QSocketNotifier::activated, this, &PtyTransport::readMaster);
    m_writer.attach(m_master);
    return true;
}

bool PtyTransport::openMaster(QString* error)
{
    m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0) {
        *error = systemError("posix_openpt");
        return false;
    }
    char name[128];
    if (grantpt(m_master) != 0 || unlockpt(m_master) != 0
        || ptsname_r(m_master, name, sizeof name) != 0) {
        *error = systemError("preparing the pseudo-terminal");
        return false;
    }
    m_slavePath = QString::fromLocal8Bit(name);
    const int flags = fcntl(m_master, F_GETFL);
    if (flags < 0 || fcntl(m_master, F_SETFL, flags | O_NONBLOCK) != 0) {
        *error = systemError("fcntl");
        return false;
    }
    return true;
}

// Opens the slave once for the simulator's own life and puts the line into raw mode (8N1, no
// echo, no line editing), as a serial port to the instrument is.
bool PtyTransport::openSlaveHolder(QString* error)
{
    m_slaveHolder = ::open(m_slavePath.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios settings{};
    if (m_slaveHolder < 0 || tcgetattr(m_slaveHolder, &settings) != 0) {
        *error = systemError("opening the slave");
        return false;
    }
    cfmakeraw(&settings);
    cfsetispeed(&settings, B115200);
    cfsetospeed(&settings, B115200);
    if (tcsetattr(m_slaveHolder, TCSANOW, &settings) != 0) {
        *error = systemError("tcsetattr");
        return false;
    }
    return true;
}

bool PtyTransport::makeLink(QString* error)
{
    if (m_linkPath.isEmpty()) {
        return true;
    }
    const QByteArray link = QFile::encodeName(m_linkPath);
    const QFileInfo existing(m_linkPath);
    if (existing.isSymLink()) {
        ::unlink(link.constData());
    } else if (existing.exists()) {
        *error = QStringLiteral("%1 exists and is not a symbolic link").arg(m_linkPath);
        return false;
    }
    if (::symlink(QFile::encodeName(m_slavePath).constData(), link.constData()) != 0) {
        *error = systemError("symlink");
        return false;
    }
    m_linkMade = true;
    return true;
}

// Removes the link only while it still points at this simulator's slave.
void PtyTransport::removeLink()
{
    if (!m_linkMade) {
        return;
    }
    m_linkMade = false;
    if (QFileInfo(m_linkPath).symLinkTarget() == QFileInfo(m_slavePath).absoluteFilePath()) {
        ::unlink(QFile::encodeName(m_linkPath).constData());
    }
}

void PtyTransport::readMaster()
{
    const auto deliver = [this](const QByteArray& bytes) { emit received(bytes); };
    if (!readUntilEmpty(m_master, deliver)) {
        // Cannot happen while the slave is held open; never spin on it.
        m_readNotifier->setEnabled(false);
        emit failed(systemError("reading the pseudo-terminal"));
    }
}

void PtyTransport::send(const QByteArray& bytes)
{
    m_writer.write(bytes);
}

bool PtyTransport::utilityHasUnreadBytes() const
{
    int unread = 0;
    if (m_slaveHolder >= 0 && ::ioctl(m_slaveHolder, FIONREAD, &unread) != 0) {
        unread = 0;
    }
    return m_writer.hasPending() || unread > 0;
}

// Closing the master hangs up every open slave descriptor: the utility's port fails.
void PtyTransport::closeAll()
{
    m_readNotifier.reset();
    m_writer.attach(-1);
    if (m_master >= 0) {
        ::close(m_master);
        m_master = -1;
    }
    if (m_slaveHolder >= 0) {
        ::close(m_slaveHolder);
        m_slaveHolder = -1;
    }
    removeLink();
}
