#include "link/ComPorts.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
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

// ---- access ----

namespace {

QString ProgramOf(qint64 Pid)
{
    QFile comm(QString("/proc/%1/comm").arg(Pid));
    return comm.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(comm.readAll().trimmed()) : QString();
}

bool ProcessAlive(qint64 Pid)
{
    return Pid > 0 && QFileInfo::exists(QString("/proc/%1").arg(Pid));
}

QList<qint64> ProcessIds()
{
    QList<qint64> pids;
    for (const QString& entry : QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool number = false;
        const qint64 pid = entry.toLongLong(&number);
        if (number && pid != ::getpid())
            pids << pid;
    }
    return pids;
}

// Whether process Pid has Target open; *Hidden is set when its descriptors
// cannot be looked at (another user's program).
bool HasOpen(qint64 Pid, const QString& Target, bool* Hidden)
{
    const QString fdDir = QString("/proc/%1/fd").arg(Pid);
    if (::access(fdDir.toLocal8Bit().constData(), R_OK | X_OK) != 0) {
        *Hidden = true;
        return false;
    }
    for (const QString& fd : QDir(fdDir).entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot))
        if (QFile::symLinkTarget(fdDir + '/' + fd) == Target)
            return true;
    return false;
}

// The lock files a serial port library may have left for Path, named as the
// port's name under /dev with '/' made '_' ("LCK..ttyUSB0", "LCK..pts_3").
QStringList LockFilesFor(const QString& Path)
{
    QString name = Path.startsWith("/dev/") ? Path.mid(5) : Path;
    name.replace('/', '_');
    QStringList files;
    for (const char* dir : {"/var/lock", "/run/lock", "/tmp"})
        files << QString("%1/LCK..%2").arg(dir, name);
    return files;
}

void AddHolder(QList<TPortHolder>* Holders, qint64 Pid, const QString& Program)
{
    for (const TPortHolder& h : *Holders)
        if (h.Pid == Pid)
            return;
    Holders->append({Pid, Program.isEmpty() ? ProgramOf(Pid) : Program});
}

QList<TPortHolder> LockHolders(const QString& Path)
{
    QList<TPortHolder> holders;
    const QString canonical = QFileInfo(Path).canonicalFilePath();
    QStringList files = LockFilesFor(Path);
    if (!canonical.isEmpty() && canonical != Path)
        files += LockFilesFor(canonical);  // a library may have locked it under its other name
    for (const QString& file : files) {
        if (!QFileInfo::exists(file))
            continue;
        qint64 pid = 0;
        QString host, program;
        if (QLockFile(file).getLockInfo(&pid, &host, &program) && pid != ::getpid() && ProcessAlive(pid))
            AddHolder(&holders, pid, QString());
    }
    return holders;
}

QString GroupName(gid_t Gid)
{
    const group* g = ::getgrgid(Gid);
    return g ? QString::fromLocal8Bit(g->gr_name) : QString::number(Gid);
}

bool SessionHasGroup(gid_t Gid)
{
    if (::getegid() == Gid)
        return true;
    gid_t groups[256];
    const int n = ::getgroups(256, groups);
    for (int i = 0; i < n; ++i)
        if (groups[i] == Gid)
            return true;
    return false;
}

bool UserListedInGroup(gid_t Gid)
{
    const passwd* user = ::getpwuid(::getuid());
    if (!user)
        return false;
    gid_t groups[256];
    int n = 256;
    if (::getgrouplist(user->pw_name, user->pw_gid, groups, &n) < 0)
        return false;
    for (int i = 0; i < n; ++i)
        if (groups[i] == Gid)
            return true;
    return false;
}

TDeviceFacts FactsOf(const QString& Path, const struct stat& St, const QList<TPortHolder>& Holders)
{
    TDeviceFacts facts;
    facts.Path = Path;
    facts.Group = GroupName(St.st_gid);
    facts.GroupMayUse = (St.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
    facts.InGroupList = UserListedInGroup(St.st_gid);
    facts.InGroupNow = SessionHasGroup(St.st_gid);
    facts.Holders = Holders;
    return facts;
}

// The command that names the programs using Path; with OthersHidden only root
// may see them all.
QString ShowsWhich(const QString& Path, bool OthersHidden)
{
    const QString sudo = OthersHidden ? "sudo " : "";
    return QString("`%1fuser -v %2` (or `%1lsof %2`) shows which program has it").arg(sudo, Path);
}

}  // namespace

QString HoldersText(const QList<TPortHolder>& Holders)
{
    QStringList names;
    for (const TPortHolder& h : Holders)
        names << QString("%1 (process %2)").arg(h.Program.isEmpty() ? "a program" : h.Program).arg(h.Pid);
    return names.join(", ");
}

QList<TPortHolder> PortHolders(const QString& Path, bool* OthersHidden)
{
    const QString target = QFileInfo(Path).canonicalFilePath();
    QList<TPortHolder> holders = LockHolders(Path);
    bool hidden = false;
    if (!target.isEmpty())
        for (qint64 pid : ProcessIds())
            if (HasOpen(pid, target, &hidden))
                AddHolder(&holders, pid, QString());
    if (OthersHidden)
        *OthersHidden = hidden;
    return holders;
}

QList<qint64> ProcessesNamed(const QString& Name)
{
    QList<qint64> pids;
    for (qint64 pid : ProcessIds())
        if (ProgramOf(pid) == Name)
            pids << pid;
    return pids;
}

void ExplainRefusal(int Errno, const TDeviceFacts& Facts, TPortAccess* Access)
{
    Access->MayOpen = false;
    Access->Error = Errno;
    const QString group = Facts.Group;
    switch (Errno) {
    case EACCES:
    case EPERM:
        if (Facts.GroupMayUse && !Facts.InGroupList) {
            Access->Reason = QString("permission denied: the device belongs to group %1, and you are not in it").arg(group);
            Access->Remedy = QString("sudo usermod -aG %1 $USER, then log out and in again").arg(group);
        } else if (Facts.GroupMayUse && !Facts.InGroupNow) {
            Access->Reason = QString("permission denied: you were added to group %1 after this login began").arg(group);
            Access->Remedy = QString("log out and in again (or start a shell with the group: newgrp %1)").arg(group);
        } else {
            Access->Reason = "permission denied: the device's mode lets none of your groups open it";
            Access->Remedy = QString("`ls -l %1` shows its owner and mode; it needs group dialout and mode 660 "
                                     "(a udev rule gives it that)").arg(Facts.Path);
        }
        return;
    case EBUSY:
        Access->Reason = Facts.Holders.isEmpty()
                             ? QString("busy: another program has opened it for itself")
                             : QString("busy: in use by %1").arg(HoldersText(Facts.Holders));
        Access->Remedy = ShowsWhich(Facts.Path, Facts.OthersHidden);
        return;
    case ENXIO:
    case ENODEV:
    case EIO:
        Access->Reason = "the device does not answer: the adapter was unplugged or its driver failed";
        Access->Remedy = "plug the adapter in again; `dmesg | tail` shows what the kernel saw";
        return;
    case ENOENT:
        Access->Reason = "the device does not exist";
        Access->Remedy = "plug the adapter in; `ls /dev/serial/by-id` lists the USB-serial adapters present";
        return;
    default:
        Access->Reason = QString::fromLocal8Bit(std::strerror(Errno));
        Access->Remedy.clear();
    }
}

TPortAccess CheckPortAccess(const QString& Path)
{
    TPortAccess access;
    struct stat st {};
    if (::stat(Path.toLocal8Bit().constData(), &st) != 0) {
        const int error = errno;
        TDeviceFacts facts;
        facts.Path = Path;
        ExplainRefusal(error, facts, &access);
        return access;
    }
    access.Exists = true;
    bool hidden = false;
    access.Holders = PortHolders(Path, &hidden);
    const int fd = ::open(Path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        TDeviceFacts facts = FactsOf(Path, st, access.Holders);
        facts.OthersHidden = hidden;
        ExplainRefusal(error, facts, &access);
        return access;
    }
    ::close(fd);
    const QList<TPortHolder> lockers = LockHolders(Path);
    if (!lockers.isEmpty()) {
        // The device opens, but a program holds its lock: a serial port library
        // (this utility's included) will not open it beside that program.
        access.Reason = QString("in use by %1, which holds its lock").arg(HoldersText(lockers));
        access.Remedy = ShowsWhich(Path, hidden);
        return access;
    }
    access.MayOpen = true;
    return access;
}

// ---- the hardware behind a device ----

namespace {

QString SysfsName(const QString& DevicePath)
{
    const QString canonical = QFileInfo(DevicePath).canonicalFilePath();
    return QFileInfo(canonical.isEmpty() ? DevicePath : canonical).fileName();
}

QString ReadAttribute(const QString& Dir, const QString& Name)
{
    QFile f(Dir + '/' + Name);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()).trimmed() : QString();
}

}  // namespace

TUsbIdentity UsbIdentityOf(const QString& DevicePath, const QString& SysRoot)
{
    TUsbIdentity id;
    const QString device = QFileInfo(SysRoot + "/class/tty/" + SysfsName(DevicePath) + "/device").canonicalFilePath();
    if (device.isEmpty())
        return id;
    id.BuiltInUart = QFileInfo::exists(SysRoot + "/class/tty/" + SysfsName(DevicePath) + "/type");
    const QString root = QFileInfo(SysRoot).canonicalFilePath();
    for (QString dir = device; dir.startsWith(root) && dir.size() > root.size(); dir = QFileInfo(dir).path()) {
        // The serial core's own port devices say nothing about the hardware.
        const QString driver = QFileInfo(dir + "/driver").canonicalFilePath();
        if (id.Driver.isEmpty() && !driver.isEmpty() && !driver.contains("/bus/serial-base/"))
            id.Driver = QFileInfo(driver).fileName();
        if (!QFileInfo::exists(dir + "/idVendor"))
            continue;
        id.BuiltInUart = false;
        id.VendorId = ReadAttribute(dir, "idVendor");
        id.ProductId = ReadAttribute(dir, "idProduct");
        id.Manufacturer = ReadAttribute(dir, "manufacturer");
        id.Product = ReadAttribute(dir, "product");
        id.Serial = ReadAttribute(dir, "serial");
        break;
    }
    return id;
}

bool IsPlaceholderPort(const QString& DevicePath, const QString& SysRoot)
{
    const QString type = SysRoot + "/class/tty/" + SysfsName(DevicePath) + "/type";
    return QFileInfo::exists(type) && ReadAttribute(QFileInfo(type).path(), "type") == "0";
}

QStringList SerialDevicesWithHardware(const QString& SysRoot)
{
    QStringList devices;
    const QDir ttys(SysRoot + "/class/tty");
    for (const QString& name : ttys.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name)) {
        const QString dev = "/dev/" + name;
        if (QFileInfo::exists(ttys.filePath(name) + "/device") && QFileInfo::exists(dev) &&
            !IsPlaceholderPort(dev, SysRoot))
            devices << dev;
    }
    return devices;
}
