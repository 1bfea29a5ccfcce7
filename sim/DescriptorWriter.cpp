#include "sim/DescriptorWriter.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

bool readUntilEmpty(const int& fd, const std::function<void(const QByteArray&)>& deliver)
{
    char buffer[4096];
    while (fd >= 0) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            deliver(QByteArray(buffer, static_cast<int>(n)));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return n < 0 && errno == EAGAIN;
        }
    }
    return true;
}

DescriptorWriter::~DescriptorWriter()
{
    attach(-1);
}

void DescriptorWriter::attach(int fd)
{
    if (m_notifier) {
        // It may be the notifier whose signal is running: off now, deleted later.
        m_notifier->setEnabled(false);
        m_notifier.release()->deleteLater();
    }
    m_pending.clear();
    m_fd = fd;
    if (fd >= 0) {
        m_notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
        m_notifier->setEnabled(false);
        connect(m_notifier.get(), &QSocketNotifier::activated, this, &DescriptorWriter::writePending);
    }
}

void DescriptorWriter::write(const QByteArray& bytes)
{
    if (m_fd < 0) {
        return;
    }
    m_pending += bytes;
    writePending();
}

void DescriptorWriter::writePending()
{
    while (!m_pending.isEmpty() && m_fd >= 0) {
        const ssize_t n = ::write(m_fd, m_pending.constData(), m_pending.size());
        if (n > 0) {
            m_pending.remove(0, static_cast<int>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno != EAGAIN) {
            const QString reason = QString::fromLocal8Bit(strerror(errno));
            attach(-1);
            emit failed(reason);
            return;
        } else {
            break;  // the other side has not read yet: wait until it has
        }
    }
    if (m_notifier) {
        m_notifier->setEnabled(!m_pending.isEmpty());
    }
}
