#include "app/PortListing.h"

#include "link/ComPorts.h"
#include "platform/Dialogs.h"

#include <QFileInfo>
#include <QRegularExpression>

namespace {

QString Canonical(const QString& Path)
{
    const QString canonical = QFileInfo(Path).canonicalFilePath();
    return canonical.isEmpty() ? Path : canonical;
}

bool Listed(const QList<TListedPort>& Ports, const QString& Path)
{
    for (const TListedPort& p : Ports)
        if (Canonical(p.Path) == Canonical(Path))
            return true;
    return false;
}

QString AdapterText(const QString& Path)
{
    if (Canonical(Path).startsWith("/dev/pts/"))
        return "pseudo-terminal";
    const TUsbIdentity id = UsbIdentityOf(Path);
    QStringList parts;
    if (id.Known()) {
        const QString name = QStringList{id.Manufacturer, id.Product}.join(' ').trimmed();
        if (!name.isEmpty())
            parts << name;
        parts << id.VendorId + ':' + id.ProductId;
        if (!id.Serial.isEmpty())
            parts << "serial " + id.Serial;
    }
    if (id.BuiltInUart)
        parts << "built-in serial port";
    if (!id.Driver.isEmpty())
        parts << "driver " + id.Driver;
    return parts.isEmpty() ? QString("not known") : parts.join(", ");
}

QString AccessText(const QString& Path)
{
    const TPortAccess access = CheckPortAccess(Path);
    if (!access.MayOpen) {
        QString text = "no - " + access.Reason;
        if (!access.Remedy.isEmpty())
            text += "\n       what to do: " + access.Remedy;
        return text;
    }
    if (access.Holders.isEmpty())
        return "yes";
    return QString("yes, but it is also open in %1, which may write to the instrument or take its answers;"
                   "\n       `fuser -v %2` shows every program that has it open")
        .arg(HoldersText(access.Holders), Path);
}

void Print(FILE* Out, const QString& Text)
{
    std::fprintf(Out, "%s\n", qPrintable(TerminalSafe(Text)));
}

QString Pids(const QList<qint64>& Pids)
{
    QStringList numbers;
    for (qint64 pid : Pids)
        numbers << QString::number(pid);
    return numbers.join(", ");
}

// Programs that are known to take serial ports from their users.
void PrintPortTakers(FILE* Out)
{
    const QList<qint64> modemManager = ProcessesNamed("ModemManager");
    if (!modemManager.isEmpty())
        Print(Out, QString("\nModemManager is running (process %1): it tries every serial port that appears for a "
                           "modem, for some seconds after the adapter is plugged in. Wait for it, or stop it "
                           "while you upgrade: sudo systemctl stop ModemManager")
                       .arg(Pids(modemManager)));
    const QList<qint64> brltty = ProcessesNamed("brltty");
    if (!brltty.isEmpty())
        Print(Out, QString("\nbrltty is running (process %1): it takes USB-serial adapters with some chips (CH340, "
                           "CP210x) for Braille displays, and their /dev/ttyUSB device disappears. Without a Braille "
                           "display: sudo systemctl mask brltty-udev.service, or sudo apt remove brltty")
                       .arg(Pids(brltty)));
}

}  // namespace

QList<TListedPort> PortsToList()
{
    QList<TListedPort> ports;
    for (int n = 1; n <= MaxComPort; ++n) {
        const QString path = ComDevicePath(n);
        if (!QFileInfo::exists(path) || IsPlaceholderPort(path) || Listed(ports, path))
            continue;
        const bool overridden = !qEnvironmentVariableIsEmpty(qPrintable(QString("KT4_COM%1").arg(n)));
        ports << TListedPort{QString("COM%1").arg(n), path, overridden ? QString("KT4_COM%1").arg(n) : QString()};
    }
    const QString irComm = qEnvironmentVariable("KT4_IRCOMM");
    const bool irCommIsPath = !irComm.isEmpty() && !QRegularExpression("^COM\\d+$").match(irComm).hasMatch();
    if (irCommIsPath && QFileInfo::exists(irComm) && !Listed(ports, irComm))
        ports << TListedPort{"-", irComm, "the infrared driver's port, KT4_IRCOMM"};
    for (const QString& path : SerialDevicesWithHardware())
        if (!Listed(ports, path))
            ports << TListedPort{"-", path, "no COM number: use --port " + path};
    return ports;
}

int ListPorts(FILE* Out)
{
    const QList<TListedPort> ports = PortsToList();
    if (ports.isEmpty())
        Print(Out, "No serial ports were found. A USB adapter shows as /dev/ttyUSB* or /dev/ttyACM* once it is "
                   "plugged in; `dmesg | tail` shows what the kernel saw.");
    for (const TListedPort& port : ports) {
        QString head = QString("%1 %2").arg(port.Com, -6).arg(port.Path);
        if (!port.Note.isEmpty())
            head += "  (" + port.Note + ")";
        Print(Out, head);
        Print(Out, "       adapter: " + AdapterText(port.Path));
        Print(Out, "       may open: " + AccessText(port.Path));
    }
    PrintPortTakers(Out);
    std::fflush(Out);
    return static_cast<int>(ports.size());
}
