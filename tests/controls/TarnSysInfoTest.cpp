#include "controls/TarnSysInfo.h"

#include <QMap>
#include <gtest/gtest.h>

namespace {

// Registry answers from a table; "key|name" → value.
struct TFakeRegistry {
    QMap<QString, TRegistryValue> Values;
    QStringList Keys;
    TRegistryAnswers Answers() const
    {
        return {[this](const QString& k, const QString& n) -> std::optional<TRegistryValue> {
                    const auto it = Values.find(k + "|" + n);
                    if (it == Values.end())
                        return std::nullopt;
                    return *it;
                },
                [this](const QString& k) { return Keys.contains(k); }};
    }
    void SetProductType(const QString& Text)
    {
        Values["SYSTEM\\CurrentControlSet\\Control\\ProductOptions|ProductType"] = {TRegistryValue::rkString, Text, 0};
    }
};

TOSVersionValues NT(int Major, int Minor, int Build, const QString& ServicePack = {})
{
    TOSVersionValues v;
    v.PlatformId = 2;
    v.Major = Major;
    v.Minor = Minor;
    v.Build = Build;
    v.ServicePack = ServicePack;
    return v;
}

TOSVersionValues Extended(TOSVersionValues V, quint8 ProductType, quint16 Suite)
{
    V.ExtendedPresent = true;
    V.ProductType = ProductType;
    V.SuiteMask = Suite;
    return V;
}

}  // namespace

TEST(WindowsRules, WorkstationEditions)
{
    TFakeRegistry reg;
    EXPECT_EQ(WindowsOSDescription(Extended(NT(5, 1, 2600, "Service Pack 2"), 1, 0), reg.Answers()),
              "Windows XP Professional Service Pack 2 (Build 2600)");
    EXPECT_EQ(WindowsOSDescription(Extended(NT(5, 1, 2600), 1, 0x0200), reg.Answers()),
              "Windows XP Home Edition (Build 2600)");
    auto media = Extended(NT(5, 1, 2600), 1, 0x0200);
    media.MediaCenter = true;
    EXPECT_EQ(WindowsOSDescription(media, reg.Answers()), "Windows XP Media Center Edition (Build 2600)");
    EXPECT_EQ(WindowsOSDescription(Extended(NT(5, 0, 2195), 1, 0), reg.Answers()),
              "Windows 2000 Professional (Build 2195)");
}

TEST(WindowsRules, ServerEditions)
{
    TFakeRegistry reg;
    EXPECT_EQ(WindowsOSDescription(Extended(NT(5, 2, 3790), 3, 0x0080), reg.Answers()),
              "Windows 2003 DataCenter Edition (Build 3790)");
    EXPECT_EQ(WindowsOSDescription(Extended(NT(5, 2, 3790), 3, 0x0400), reg.Answers()),
              "Windows 2003 Web Edition (Build 3790)");
    EXPECT_EQ(WindowsOSDescription(Extended(NT(5, 0, 2195), 2, 0x0002), reg.Answers()),
              "Windows 2000 Advanced Server (Build 2195)");
    EXPECT_EQ(WindowsOSDescription(Extended(NT(6, 0, 6000), 3, 0), reg.Answers()),
              "Windows Vista \"Longhorn\" Server (Build 6000)");
}

TEST(WindowsRules, NT4WithoutExtendedValuesReadsTheRegistry)
{
    TFakeRegistry reg;
    reg.SetProductType("LANMANNT");
    EXPECT_EQ(WindowsOSDescription(NT(4, 0, 1381), reg.Answers()), "Windows NT 4.0 Server 4.0 (Build 1381)");
    reg.SetProductType("winnt");
    EXPECT_EQ(WindowsOSDescription(NT(4, 0, 1381), reg.Answers()), "Windows NT 4.0 WorkStation 4.0 (Build 1381)");

    // "Service Pack 6" becomes 6a when the hotfix key exists.
    EXPECT_EQ(WindowsOSDescription(NT(4, 0, 1381, "service pack 6"), reg.Answers()),
              "Windows NT 4.0 WorkStation 4.0 service pack 6 (Build 1381)");
    reg.Keys << "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Hotfix\\Q246009";
    EXPECT_EQ(WindowsOSDescription(NT(4, 0, 1381, "service pack 6"), reg.Answers()),
              "Windows NT 4.0 WorkStation 4.0 Service Pack 6a (Build 1381)");
}

TEST(WindowsRules, UnknownNTProductBeginsWithABlank)
{
    TFakeRegistry reg;
    reg.SetProductType("WINNT");
    EXPECT_EQ(WindowsOSDescription(NT(3, 51, 1057, "Service Pack 5"), reg.Answers()),
              " WorkStation 3.51 Service Pack 5 (Build 1057)");
}

TEST(WindowsRules, NineXFamilyAndWin32s)
{
    TFakeRegistry reg;
    TOSVersionValues v;
    v.PlatformId = 1;
    v.Major = 4;
    v.Minor = 0;
    v.ServicePack = "C";
    EXPECT_EQ(WindowsOSDescription(v, reg.Answers()), "Windows 95 OSR2");
    v.ServicePack = "a";
    EXPECT_EQ(WindowsOSDescription(v, reg.Answers()), "Windows 95");
    v.Minor = 10;
    EXPECT_EQ(WindowsOSDescription(v, reg.Answers()), "Windows 98 SE");
    v.Minor = 90;
    EXPECT_EQ(WindowsOSDescription(v, reg.Answers()), "Windows Me");
    v.PlatformId = 0;
    EXPECT_EQ(WindowsOSDescription(v, reg.Answers()), "");
}

TEST(WindowsRules, Failures)
{
    TFakeRegistry reg;
    TOSVersionValues v = NT(5, 1, 2600);
    v.PlatformId = 3;
    try {
        WindowsOSDescription(v, reg.Answers());
        FAIL();
    } catch (const ETarnSysInfo& e) {
        EXPECT_EQ(e.Message(), "Unrecognized operating system platform");
    }
    reg.Values["SYSTEM\\CurrentControlSet\\Control\\ProductOptions|ProductType"] = {TRegistryValue::rkBinary, {}, 0};
    try {
        WindowsOSDescription(NT(4, 0, 1381), reg.Answers());
        FAIL();
    } catch (const ETarnSysInfo& e) {
        EXPECT_EQ(e.Message(), "Unsupported registry type");
    }
    reg.Values["SYSTEM\\CurrentControlSet\\Control\\ProductOptions|ProductType"] = {TRegistryValue::rkInteger, {}, 7};
    EXPECT_EQ(RegistryText(reg.Answers(), "SYSTEM\\CurrentControlSet\\Control\\ProductOptions", "ProductType"), "7");
}

TEST(TarnSysInfo, ThisSystemAndOnePerForm)
{
    QObject form;
    form.setObjectName("AboutBox");
    auto* info = new TTarnSysInfo(&form);
    info->setObjectName("TarnSysInfo1");
    EXPECT_TRUE(info->OSDescription().contains("Linux"));
    EXPECT_GT(info->OSMajor(), 2);
    EXPECT_FALSE(info->ComputerName().isEmpty());
    EXPECT_FALSE(info->UserName().isEmpty());
    try {
        new TTarnSysInfo(&form);
        FAIL();
    } catch (const ETarnSysInfo& e) {
        EXPECT_EQ(e.Message(), "Only one TTarnSysInfo component is permitted on a form: TarnSysInfo1 is already present "
                               "on AboutBox");
    }
    EXPECT_EQ(form.children().size(), 1);
    int major, minor, build;
    SplitKernelRelease("6.1.0-18-amd64", major, minor, build);
    EXPECT_EQ(QList<int>({major, minor, build}), QList<int>({6, 1, 0}));
    SplitKernelRelease("5.15", major, minor, build);
    EXPECT_EQ(QList<int>({major, minor, build}), QList<int>({5, 15, 0}));
}
