#include "sim/UsbTestDevice.h"

#include "sim/SignalWatcher.h"

#include <QCoreApplication>

#include <cstdio>

namespace {

TEndpointDescriptor bulk(quint8 address)
{
    TEndpointDescriptor endpoint;
    endpoint.bEndpointAddress = address;
    return endpoint;
}

} // namespace

UsbDeviceServer::Identity usbTestDeviceIdentity(const QString& tag)
{
    UsbDeviceServer::Identity identity;
    identity.classGuid = GuidCorvaneKelo6.ToString();
    identity.name = QStringLiteral("kt4-sim-") + tag;
    identity.path = "usb:sim-" + tag.toLatin1();
    identity.endpoints = {bulk(0x01), bulk(0x81), bulk(0x82), bulk(0x02)};
    return identity;
}

int runUsbTestDevice(const QString& directory)
{
    UsbDeviceServer device(directory, usbTestDeviceIdentity(QString::number(QCoreApplication::applicationPid())));
    QObject::connect(&device, &UsbDeviceServer::received, &device, [&device](int pipe, const QByteArray& bytes) {
        device.send(pipe == 0 ? 1 : 2, bytes);
    });
    QString error;
    if (!device.open(&error)) {
        std::fprintf(stderr, "kt4-sim: %s\n", error.toLocal8Bit().constData());
        return 1;
    }
    SignalWatcher watcher;
    QObject::connect(&watcher, &SignalWatcher::signalled, qApp, [] { QCoreApplication::exit(0); });
    QObject::connect(&device, &UsbDeviceServer::unplugged, qApp, [] { QCoreApplication::exit(0); });
    std::printf("USB %s\n", device.socketPath().toLocal8Bit().constData());
    std::fflush(stdout);
    return QCoreApplication::exec();
}
