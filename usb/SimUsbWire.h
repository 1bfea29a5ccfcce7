#pragma once
// The simulated USB stack's devices as Unix sockets in one directory, and the
// little protocol between the simulator program (the device) and the utility.
//
// A device is a socket named after its interface class and a name of its own:
// "<class GUID>.<name>", for example "{D9A037FA-4214-4A73-8055-CD99EDDED50D}.kt4-sim-812".
// A client connects and writes one line:
//   "HELLO\n"      the device answers one line and closes:
//                  "DEVICE <class GUID> <device path> <configuration descriptor in hex>\n";
//   "PIPE <n>\n"   the device answers "OK\n" and the connection becomes endpoint n
//                  (its position in the first interface): bytes the utility writes
//                  reach an OUT endpoint, bytes the device sends on an IN endpoint
//                  arrive on it. Or it answers "ERR <errno>\n" and closes (no such
//                  endpoint, or the endpoint is open already).
// A device that goes away (the program ends, the socket is removed) closes
// every connection; its socket no longer answers.
// Header-only: the simulator program includes it without the USB library.

#include <QByteArray>
#include <QList>
#include <QString>
#include <optional>

namespace SimUsbWire {

struct THello {
    QByteArray ClassGuid;  // the registry form
    QByteArray Path;
    QByteArray Descriptor;
};

constexpr int MaxLine = 1024;

inline QString SocketName(const QString& ClassGuid, const QString& Name) { return ClassGuid + '.' + Name; }

inline QByteArray HelloRequest() { return "HELLO\n"; }

inline QByteArray FormatHello(const THello& Hello)
{
    return "DEVICE " + Hello.ClassGuid + ' ' + Hello.Path + ' ' + Hello.Descriptor.toHex() + '\n';
}

// One DEVICE line (without its line end); nothing when it is not one.
inline std::optional<THello> ParseHello(const QByteArray& Line)
{
    const QList<QByteArray> fields = Line.split(' ');
    if (fields.size() != 4 || fields[0] != "DEVICE" || fields[2].isEmpty())
        return std::nullopt;
    return THello{fields[1], fields[2], QByteArray::fromHex(fields[3])};
}

inline QByteArray PipeRequest(int Index) { return "PIPE " + QByteArray::number(Index) + '\n'; }

// The endpoint a PIPE line asks for; nothing when it is not one.
inline std::optional<int> ParsePipe(const QByteArray& Line)
{
    const QList<QByteArray> fields = Line.split(' ');
    bool ok = false;
    const int index = fields.size() == 2 && fields[0] == "PIPE" ? fields[1].toInt(&ok) : -1;
    return ok && index >= 0 ? std::optional<int>(index) : std::nullopt;
}

inline QByteArray PipeAccepted() { return "OK\n"; }
inline QByteArray PipeRefused(int Error) { return "ERR " + QByteArray::number(Error) + '\n'; }

// The errno of a refusal line; 0 for "OK".
inline int RefusalOf(const QByteArray& Line)
{
    if (Line == PipeAccepted().trimmed())
        return 0;
    bool ok = false;
    const int error = Line.startsWith("ERR ") ? Line.mid(4).toInt(&ok) : 0;
    return ok && error > 0 ? error : 5;  // EIO for an answer that is neither
}

}  // namespace SimUsbWire
