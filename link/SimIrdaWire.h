#pragma once
// The simulated IrDA stack's devices and the little protocol that carries them
// over a Unix socket from the simulator program to the utility.
//
// A client connects to the socket and writes one line:
//   "DEVICES\n"                  the server answers one DEVICE line per device
//                                in range and closes;
//   "SESSION <id> <service>\n"   the server answers "OK\n" and the connection
//                                becomes the session with that device's service:
//                                from then on it carries the instrument's bytes
//                                unchanged in both directions. A device that is
//                                not there or busy closes the connection instead.
// A DEVICE line: "DEVICE <id> <hints1> <hints2> <charset> <lsap> <parameters> <name>",
// numbers in hexadecimal, <lsap> the IrLPT class's LsapSel or "-" when the device
// has no IrLPT class, <parameters> the IrCOMM class's parameter octets in hex or "-",
// and the name (it may hold blanks) to the end of the line.
// Header-only: the simulator program includes it without the link library.

#include <QByteArray>
#include <QList>
#include <QtGlobal>
#include <optional>

struct TSimIrdaDevice {
    quint32 Id = 0;
    QByteArray Name;
    quint8 Hints1 = 0x80;
    quint8 Hints2 = 0x04;  // IrCOMM
    quint8 CharSet = 0;
    std::optional<qint32> LptLsapSel;            // none: the device has no IrLPT class
    std::optional<QByteArray> IrCommParameters;  // none: no IrCOMM class
    // Scripted faults and timing (in-process stack only).
    int IasError = 0;        // every IAS query to the device fails with this code
    int ConnectError = 0;    // the outcome of a connect to the device
    int ConnectDelayMs = 0;  // the outcome follows after this long
};

namespace SimIrdaWire {

inline QByteArray DevicesRequest() { return "DEVICES\n"; }

inline QByteArray SessionRequest(quint32 Id, const QByteArray& Service)
{
    return "SESSION " + QByteArray::number(Id, 16) + ' ' + Service + '\n';
}

inline QByteArray SessionAccepted() { return "OK\n"; }

inline QByteArray FormatDevice(const TSimIrdaDevice& Device)
{
    const auto hex = [](uint Value) { return QByteArray::number(Value, 16); };
    QByteArray line = "DEVICE " + hex(Device.Id) + ' ' + hex(Device.Hints1) + ' ' + hex(Device.Hints2) + ' '
                      + hex(Device.CharSet) + ' ';
    line += Device.LptLsapSel ? QByteArray::number(*Device.LptLsapSel, 16) : QByteArray("-");
    line += ' ';
    line += Device.IrCommParameters && !Device.IrCommParameters->isEmpty() ? Device.IrCommParameters->toHex()
                                                                            : QByteArray("-");
    return line + ' ' + Device.Name + '\n';
}

// One DEVICE line (without its line end); nothing when it is not one.
inline std::optional<TSimIrdaDevice> ParseDevice(const QByteArray& Line)
{
    const QList<QByteArray> fields = Line.split(' ');
    if (fields.size() < 8 || fields[0] != "DEVICE")
        return std::nullopt;
    bool ok[5] = {};
    TSimIrdaDevice device;
    device.Id = fields[1].toUInt(&ok[0], 16);
    device.Hints1 = quint8(fields[2].toUInt(&ok[1], 16));
    device.Hints2 = quint8(fields[3].toUInt(&ok[2], 16));
    device.CharSet = quint8(fields[4].toUInt(&ok[3], 16));
    ok[4] = true;
    if (fields[5] != "-")
        device.LptLsapSel = fields[5].toInt(&ok[4], 16);
    if (fields[6] != "-")
        device.IrCommParameters = QByteArray::fromHex(fields[6]);
    device.Name = fields.mid(7).join(' ');
    for (bool good : ok)
        if (!good)
            return std::nullopt;
    return device;
}

// A SESSION line: the device and the service; nothing when it is not one.
inline std::optional<std::pair<quint32, QByteArray>> ParseSession(const QByteArray& Line)
{
    const QList<QByteArray> fields = Line.split(' ');
    bool ok = false;
    if (fields.size() != 3 || fields[0] != "SESSION")
        return std::nullopt;
    const quint32 id = fields[1].toUInt(&ok, 16);
    if (!ok)
        return std::nullopt;
    return std::make_pair(id, fields[2]);
}

}  // namespace SimIrdaWire
