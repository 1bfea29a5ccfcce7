#include "controls/TarnSysInfo.h"

#include <QFile>
#include <QRegularExpression>
#include <pwd.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace {

enum TFamily { osNT, os9x, osWin32s };
enum TProduct { prNT4, pr2000, prXP, pr2003, prVista, prUnknownNT, pr95, pr98, prMe, prUnknown9x, prWin32s };

const QString ProductOptionsKey = "SYSTEM\\CurrentControlSet\\Control\\ProductOptions";
const QString HotfixKey = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Hotfix\\Q246009";

constexpr quint16 SuiteEnterprise = 0x0002;
constexpr quint16 SuiteDatacenter = 0x0080;
constexpr quint16 SuitePersonal = 0x0200;
constexpr quint16 SuiteBlade = 0x0400;

TFamily Family(int PlatformId)
{
    switch (PlatformId) {
    case 2: return osNT;
    case 1: return os9x;
    case 0: return osWin32s;
    default: break;
    }
    throw ETarnSysInfo("Unrecognized operating system platform");
}

TProduct Product(TFamily F, int Major, int Minor)
{
    if (F == osNT) {
        if ((Major == 3 || Major == 4) && Minor == 0) return prNT4;
        if (Major == 5 && Minor == 0) return pr2000;
        if (Major == 5 && Minor == 1) return prXP;
        if (Major == 5 && Minor == 2) return pr2003;
        if (Major == 6 && Minor == 0) return prVista;
        return prUnknownNT;
    }
    if (F == os9x) {
        if (Major == 4 && Minor == 0) return pr95;
        if (Major == 4 && Minor == 10) return pr98;
        if (Major == 4 && Minor == 90) return prMe;
        return prUnknown9x;
    }
    return prWin32s;
}

QString ProductName(TProduct P)
{
    switch (P) {
    case prNT4: return "Windows NT";
    case pr2000: return "Windows 2000";
    case prXP: return "Windows XP";
    case pr2003: return "Windows 2003";
    case prVista: return "Windows Vista";
    case pr95: return "Windows 95";
    case pr98: return "Windows 98";
    case prMe: return "Windows Me";
    default: break;
    }
    return QString();
}

QString ProductTypeText(const TRegistryAnswers& Registry)
{
    return RegistryText(Registry, ProductOptionsKey, "ProductType");
}

bool IsServer(const TOSVersionValues& V, const TRegistryAnswers& Registry)
{
    if (V.ExtendedPresent)
        return V.ProductType != 1;
    return ProductTypeText(Registry).compare("WINNT", Qt::CaseInsensitive) != 0;
}

QString EditionFromRegistry(const TOSVersionValues& V, const TRegistryAnswers& Registry)
{
    const QString type = ProductTypeText(Registry).toUpper();
    QString edition;
    if (type == "WINNT") edition = "WorkStation";
    else if (type == "LANMANNT") edition = "Server";
    else if (type == "SERVERNT") edition = "Advanced Server";
    return edition + QString::asprintf(" %d.%d", V.Major, V.Minor);
}

QString ServerEdition(TProduct P, quint16 Suite)
{
    switch (P) {
    case prNT4: return (Suite & SuiteEnterprise) ? "Enterprise Edition" : "Server";
    case pr2000:
        if (Suite & SuiteDatacenter) return "Datacenter Server";
        return (Suite & SuiteEnterprise) ? "Advanced Server" : "Server";
    case pr2003:
        if (Suite & SuiteDatacenter) return "DataCenter Edition";
        if (Suite & SuiteEnterprise) return "Enterprise Edition";
        return (Suite & SuiteBlade) ? "Web Edition" : "Standard Edition";
    case prVista: return "\"Longhorn\" Server";
    default: break;
    }
    return QString();
}

QString WorkstationEdition(TProduct P, const TOSVersionValues& V)
{
    switch (P) {
    case prNT4: return "Workstation";
    case pr2000: return "Professional";
    case prXP:
        if (V.MediaCenter) return "Media Center Edition";
        if (V.TabletPC) return "Tablet PC Edition";
        return (V.SuiteMask & SuitePersonal) ? "Home Edition" : "Professional";
    default: break;
    }
    return QString();
}

QString Edition(TFamily F, TProduct P, const TOSVersionValues& V, const TRegistryAnswers& Registry)
{
    if (F != osNT)
        return QString();
    if (!V.ExtendedPresent)
        return EditionFromRegistry(V, Registry);
    return IsServer(V, Registry) ? ServerEdition(P, V.SuiteMask) : WorkstationEdition(P, V);
}

QString ServicePack(TFamily F, TProduct P, const TOSVersionValues& V, const TRegistryAnswers& Registry)
{
    if (F == osNT) {
        if (P == prNT4 && V.Major == 4 && V.ServicePack.compare("Service Pack 6", Qt::CaseInsensitive) == 0 &&
            Registry.KeyExists && Registry.KeyExists(HotfixKey))
            return "Service Pack 6a";
        return V.ServicePack;
    }
    if (F == os9x && !V.ServicePack.isEmpty()) {
        const QChar first = V.ServicePack.at(0).toUpper();
        if (P == pr95 && (first == 'B' || first == 'C')) return "OSR2";
        if (P == pr98 && first == 'A') return "SE";
    }
    return QString();
}

void AppendWord(QString& Text, const QString& Word)
{
    if (!Word.isEmpty())
        Text += ' ' + Word;
}

}  // namespace

QString RegistryText(const TRegistryAnswers& Registry, const QString& Key, const QString& Name)
{
    if (!Registry.ReadValue)
        return QString();
    const std::optional<TRegistryValue> value = Registry.ReadValue(Key, Name);
    if (!value)
        return QString();
    switch (value->Kind) {
    case TRegistryValue::rkString:
    case TRegistryValue::rkExpandString: return value->Text;
    case TRegistryValue::rkInteger: return QString::number(value->Number);
    default: break;
    }
    throw ETarnSysInfo("Unsupported registry type");
}

QString WindowsOSDescription(const TOSVersionValues& Values, const TRegistryAnswers& Registry)
{
    const TFamily family = Family(Values.PlatformId);
    const TProduct product = Product(family, Values.Major, Values.Minor);
    QString text = ProductName(product);
    if (family == osNT) {
        if (product == prNT4)
            AppendWord(text, QString::asprintf("%d.%d", Values.Major, Values.Minor));
        AppendWord(text, Edition(family, product, Values, Registry));
        AppendWord(text, ServicePack(family, product, Values, Registry));
        AppendWord(text, QString::asprintf("(Build %d)", Values.Build));
    } else if (family == os9x) {
        AppendWord(text, ServicePack(family, product, Values, Registry));
    }
    return text;
}

// ---- this system ----

void SplitKernelRelease(const QString& Release, int& Major, int& Minor, int& Build)
{
    static const QRegularExpression numbers("^(\\d+)(?:\\.(\\d+))?(?:\\.(\\d+))?");
    const QRegularExpressionMatch m = numbers.match(Release);
    Major = m.captured(1).toInt();
    Minor = m.captured(2).toInt();
    Build = m.captured(3).toInt();
}

namespace {

QString DistributionName()
{
    QFile file("/etc/os-release");
    if (!file.open(QIODevice::ReadOnly))
        return "Linux";
    for (const QByteArray& line : file.readAll().split('\n'))
        if (line.startsWith("PRETTY_NAME="))
            return QString::fromUtf8(line.mid(12)).remove('"');
    return "Linux";
}

}  // namespace

TTarnOSInfo::TTarnOSInfo()
{
    utsname names{};
    uname(&names);
    const QString release = QString::fromLocal8Bit(names.release);
    SplitKernelRelease(release, FMajor, FMinor, FBuild);
    FDescription = QString("%1 (%2 %3)").arg(DistributionName(), QString::fromLocal8Bit(names.sysname), release);
}

QString TTarnComputerInfo::ComputerName()
{
    char name[261] = {};
    if (gethostname(name, 260) != 0)
        return QString();
    return QString::fromLocal8Bit(name);
}

QString TTarnComputerInfo::UserName()
{
    char name[261] = {};
    if (getlogin_r(name, 260) == 0 && name[0] != 0)
        return QString::fromLocal8Bit(name);
    if (const passwd* pw = getpwuid(geteuid()))
        return QString::fromLocal8Bit(pw->pw_name);
    return QString();
}

namespace {

// Read once at program start, never refreshed.
const TTarnOSInfo& OSInfo()
{
    static const TTarnOSInfo info;
    return info;
}

}  // namespace

TTarnSysInfo::TTarnSysInfo(QObject* Owner) : QObject(Owner)
{
    if (Owner) {
        for (QObject* sibling : Owner->children()) {
            if (sibling != this && dynamic_cast<TTarnSysInfo*>(sibling)) {
                setParent(nullptr);
                throw ETarnSysInfo(QString("Only one %1 component is permitted on a form: %2 is already present on %3")
                                       .arg("TTarnSysInfo", sibling->objectName(), Owner->objectName()));
            }
        }
    }
    OSInfo();
}

QString TTarnSysInfo::OSDescription() const { return OSInfo().Description(); }
int TTarnSysInfo::OSMajor() const { return OSInfo().Major(); }
int TTarnSysInfo::OSMinor() const { return OSInfo().Minor(); }
int TTarnSysInfo::OSBuild() const { return OSInfo().Build(); }
