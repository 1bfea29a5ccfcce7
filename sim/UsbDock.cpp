#include "sim/UsbDock.h"

#include "sim/UsbTestDevice.h"

#include <QCoreApplication>
#include <QTimer>
#include <cstdio>

namespace {

constexpr int DataOut = 0;
constexpr int DataIn = 1;
constexpr int ControlIn = 2;
constexpr int ControlOut = 3;

} // namespace

UsbDockTransport::UsbDockTransport(const QString& directory, QObject* parent)
    : SimTransport(parent),
      m_device(directory, usbTestDeviceIdentity(QString::number(QCoreApplication::applicationPid())))
{
    connect(&m_device, &UsbDeviceServer::received, this, [this](int pipe, const QByteArray& bytes) {
        if (pipe == DataOut && m_passing) {
            emit received(bytes);  // bytes sent before the dock passes the instrument through are lost
        }
    });
    connect(&m_device, &UsbDeviceServer::unplugged, this, &SimTransport::closed);
}

bool UsbDockTransport::open(QString* error)
{
    return m_device.open(error);
}

void UsbDockTransport::send(const QByteArray& bytes)
{
    m_device.send(DataIn, bytes);
}

UsbDock::UsbDock(const SimDockOptions& options, UsbDockTransport& data, bool verbose, QObject* parent)
    : QObject(parent), m_protocol(options), m_data(data), m_verbose(verbose)
{
    m_protocol.log = [this](const QString& line) { log(line); };
    connect(&m_data.device(), &UsbDeviceServer::received, this, [this](int pipe, const QByteArray& bytes) {
        if (pipe == ControlOut) {
            readControl(bytes);
        }
    });
    // The utility let go of the control pipe: the dock takes the instrument back.
    connect(&m_data.device(), &UsbDeviceServer::pipeClosed, this, [this](int pipe) {
        if (pipe == ControlOut) {
            m_protocol.endSession();
            m_data.setPassing(false);
        }
    });
    m_sinceInput.start();
}

void UsbDock::readControl(const QByteArray& bytes)
{
    if (m_protocol.hasPartial() && m_sinceInput.elapsed() > SimDock::StaleInputMs) {
        m_protocol.discardPartial();
    }
    m_sinceInput.restart();
    if (m_verbose) {
        log(QStringLiteral("<- %1").arg(QString::fromLatin1(bytes)));
    }
    for (const QByteArray& out : m_protocol.feed(bytes)) {
        if (out == "EVT1") {
            // The dock reports the instrument once it has woken it, a moment after its reply.
            QTimer::singleShot(SimDock::InstrumentWakeMs, this, [this] {
                if (m_protocol.passing()) {
                    write("EVT1");
                }
            });
        } else {
            write(out);
        }
    }
    m_data.setPassing(m_protocol.passing());
}

void UsbDock::write(const QByteArray& bytes)
{
    if (m_verbose) {
        log(QStringLiteral("-> %1").arg(QString::fromLatin1(bytes)));
    }
    m_data.device().send(ControlIn, bytes);
}

void UsbDock::log(const QString& line) const
{
    std::fprintf(stderr, "kt4-sim: %s\n", line.toLocal8Bit().constData());
    std::fflush(stderr);
}
