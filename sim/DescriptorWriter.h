#pragma once
// Writes queued bytes to a non-blocking descriptor as fast as the other side
// takes them: what does not go at once waits for the descriptor to become
// writable, so a slow reader never blocks the simulator.

#include <QByteArray>
#include <QObject>
#include <QSocketNotifier>

#include <memory>

#include <functional>

// Reads a non-blocking descriptor until it has nothing more for now, handing
// each chunk to deliver. fd is read again after each chunk (a handler may
// close it). False when the other side has closed or reading failed for good.
bool readUntilEmpty(const int& fd, const std::function<void(const QByteArray&)>& deliver);

class DescriptorWriter : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~DescriptorWriter() override;

    // Writes to fd from now on (-1: nowhere); what was queued for the earlier
    // descriptor is dropped.
    void attach(int fd);
    void write(const QByteArray& bytes);
    bool hasPending() const { return !m_pending.isEmpty(); }

signals:
    // Writing failed for good (errno's text); the writer has detached.
    void failed(const QString& reason);

private:
    void writePending();

    int m_fd = -1;
    QByteArray m_pending;
    std::unique_ptr<QSocketNotifier> m_notifier;
};
