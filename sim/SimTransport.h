#pragma once
// The byte transport between the simulated instrument and the utility.
//
// The instrument sees only a byte stream in each direction; how the bytes travel (a
// pseudo-terminal standing in for a serial or infrared COM port, or a socket standing in for an
// infrared stack) is the transport's business.

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

// Bytes for the simulator's log: printable bytes as they are, the others as \xHH.
QString shown(const QByteArray& bytes);

class SimTransport : public QObject {
    Q_OBJECT
public:
    explicit SimTransport(QObject* parent = nullptr);
    ~SimTransport() override = default;

    // Makes the transport ready for the utility; false with a reason on failure.
    virtual bool open(QString* error) = 0;

    // The line that tells the user where to find the instrument (printed first on stdout).
    virtual QString address() const = 0;

    // Queues bytes for the utility; they are written as soon as the other side takes them.
    virtual void send(const QByteArray& bytes) = 0;

    // Ends the link once what was sent has been taken by the utility (or after maxWaitMs),
    // then emits closed(). The utility sees the device go away.
    void closeWhenDrained(int maxWaitMs);

signals:
    void received(const QByteArray& bytes);
    void failed(const QString& reason);
    void closed();

protected:
    // Bytes sent that the utility has not read yet.
    virtual bool utilityHasUnreadBytes() const = 0;
    // The link is about to end: nothing new may start on it.
    virtual void goingAway() {}
    // Ends the link for good.
    virtual void closeAll() = 0;

private:
    void checkDrained();

    QTimer m_drainTimer;
    int m_drainChecksLeft = 0;
};
