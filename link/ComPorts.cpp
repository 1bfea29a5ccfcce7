#include "link/ComPorts.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

struct TDeviceRange {
    int FirstCom;
    int Count;
    const char* Prefix;
};

constexpr TDeviceRange DeviceTable[] = {
    {1, 16, "/dev/ttyS"},
    {17, 16, "/dev/ttyUSB"},
    {33, 16, "/dev/ttyACM"},
    {49, 2, "/dev/rfcomm"},
};

}  // namespace

QString ComDevicePath(int ComNumber)
{
    const QByteArray overrideName = "KT4_COM" + QByteArray::number(ComNumber);
    const QByteArray overridePath = qgetenv(overrideName.constData());
    if (!overridePath.isEmpty())
        return QString::fromLocal8Bit(overridePath);
    for (const auto& range : DeviceTable)
        if (ComNumber >= range.FirstCom && ComNumber < range.FirstCom + range.Count)
            return QString("%1%2").arg(range.Prefix).arg(ComNumber - range.FirstCom);
    return QString();
}

bool IsPortAvailable(int ComNumber)
{
    if (ComNumber <= 0)
        return false;
    const QString path = ComDevicePath(ComNumber);
    if (path.isEmpty())
        return false;
    const int fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        ::close(fd);
        return true;
    }
    return errno == EACCES || errno == EBUSY;
}

QList<int> AvailableComPorts()
{
    QList<int> ports;
    for (int n = 1; n <= MaxComPort; ++n)
        if (IsPortAvailable(n))
            ports << n;
    return ports;
}
