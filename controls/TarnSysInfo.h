#pragma once
// System information for the about box: the operating system, its version,
// the computer name and the user name.
//
// On Linux the values come from the running system: the description names the
// distribution and the kernel, and the version is the kernel's major, minor and
// build numbers. The description rules of the Windows family are kept as a pure
// function of the version query's values and the registry's answers
// (WindowsOSDescription), so that they can be checked anywhere.

#include "platform/ErrorDisplay.h"

#include <QObject>
#include <QString>
#include <functional>
#include <optional>

class ETarnSysInfo : public EKT4Error {
public:
    using EKT4Error::EKT4Error;
};

// What the platform's version query reports.
struct TOSVersionValues {
    int PlatformId = 2;  // 2 NT family, 1 the 9x family, 0 Win32s
    int Major = 0;
    int Minor = 0;
    int Build = 0;
    QString ServicePack;  // the service-pack text
    bool ExtendedPresent = false;
    int ServicePackMajor = 0;
    int ServicePackMinor = 0;
    quint16 SuiteMask = 0;
    quint8 ProductType = 0;  // 1 workstation
    bool MediaCenter = false;
    bool TabletPC = false;
};

// A registry value as the rules read it.
struct TRegistryValue {
    enum TKind { rkString, rkExpandString, rkInteger, rkBinary, rkMultiString } Kind = rkString;
    QString Text;
    qint64 Number = 0;
};

// The registry answers the rules need: a value (nothing when the key or the
// value is missing) and whether a key exists.
struct TRegistryAnswers {
    std::function<std::optional<TRegistryValue>(const QString& Key, const QString& Name)> ReadValue;
    std::function<bool(const QString& Key)> KeyExists;
};

// A registry value as text: strings as they are, integers in decimal, missing
// as empty; any other type raises "Unsupported registry type".
QString RegistryText(const TRegistryAnswers& Registry, const QString& Key, const QString& Name);

// The description of a Windows-family system, e.g. "Windows XP Professional
// Service Pack 2 (Build 2600)"; raises "Unrecognized operating system platform"
// for an unknown platform.
QString WindowsOSDescription(const TOSVersionValues& Values, const TRegistryAnswers& Registry);

// The operating system this program runs on.
class TTarnOSInfo {
public:
    TTarnOSInfo();  // reads the values once
    QString Description() const { return FDescription; }
    int Major() const { return FMajor; }
    int Minor() const { return FMinor; }
    int Build() const { return FBuild; }

private:
    QString FDescription;
    int FMajor = 0;
    int FMinor = 0;
    int FBuild = 0;
};

// The computer and its user.
class TTarnComputerInfo {
public:
    static QString ComputerName();
    static QString UserName();
};

// The component the about box owns; one per form.
class TTarnSysInfo : public QObject {
public:
    explicit TTarnSysInfo(QObject* Owner = nullptr);

    QString OSDescription() const;
    int OSMajor() const;
    int OSMinor() const;
    int OSBuild() const;
    QString ComputerName() const { return TTarnComputerInfo::ComputerName(); }
    QString UserName() const { return TTarnComputerInfo::UserName(); }
};

// Kernel release "6.1.0-18-amd64" as 6, 1, 0.
void SplitKernelRelease(const QString& Release, int& Major, int& Minor, int& Build);
