#include "controls/Info.h"
#include "controls/VersionBlock.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <vector>

namespace {

const std::vector<VersionBlock::TString> UtilityStrings = {
    {"CompanyName", "Corvane Instruments"},
    {"FileDescription", "KT4 Head Upgrade Utility"},
    {"FileVersion", "1.1.0.4"},
    {"InternalName", "KT4 Head Upgrade Utility"},
    {"LegalCopyright", "Copyright (C) 2026 Corvane Instruments"},
    {"LegalTradeMarks", ""},
    {"OriginalFilename", ""},
    {"ProductName", "KT4 Head Upgrade Utility"},
    {"ProductVersion", "1.10"},
    {"Comments", "Loads new firmware into the KT4 head through its infrared port."},
};

QByteArray Block(const std::vector<VersionBlock::TString>& Strings, quint16 Language = 0x0409,
                 quint16 CodePage = 0x04E4)
{
    const std::vector<unsigned char> bytes = VersionBlock::Build(Language, CodePage, Strings);
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size()));
}

// A minimal ELF file laid out by hand: header, section names, the section
// ".kt4_version" holding Contents, and the section headers (null, names, it).
QByteArray ElfFile(const QByteArray& Contents, bool Is64 = true, bool Little = true)
{
    const QByteArray names("\0.shstrtab\0.kt4_version\0", 24);
    const int header = Is64 ? 64 : 52, entry = Is64 ? 64 : 40;
    const int namesAt = header, contentsAt = namesAt + int(names.size());
    const int tableAt = (contentsAt + int(Contents.size()) + 7) & ~7;
    QByteArray file(tableAt + 3 * entry, '\0');
    auto put = [&](int At, int Size, quint64 Value) {
        for (int i = 0; i < Size; ++i)
            file[At + (Little ? i : Size - 1 - i)] = char((Value >> (8 * i)) & 0xFF);
    };
    file.replace(0, 7, QByteArray("\x7F" "ELF") + char(Is64 ? 2 : 1) + char(Little ? 1 : 2) + char(1));
    // e_shoff, e_shentsize, e_shnum (3), e_shstrndx (1)
    put(Is64 ? 40 : 32, Is64 ? 8 : 4, tableAt);
    put(Is64 ? 58 : 46, 2, entry);
    put(Is64 ? 60 : 48, 2, 3);
    put(Is64 ? 62 : 50, 2, 1);
    file.replace(namesAt, names.size(), names);
    file.replace(contentsAt, Contents.size(), Contents);
    // sh_name, sh_type, sh_offset, sh_size of sections 1 (SHT_STRTAB) and 2 (SHT_PROGBITS)
    const int sections[2][4] = {{1, 3, namesAt, int(names.size())}, {11, 1, contentsAt, int(Contents.size())}};
    for (int s = 0; s < 2; ++s) {
        const int at = tableAt + (s + 1) * entry;
        put(at, 4, sections[s][0]);
        put(at + 4, 4, sections[s][1]);
        put(at + (Is64 ? 24 : 16), Is64 ? 8 : 4, sections[s][2]);
        put(at + (Is64 ? 32 : 20), Is64 ? 8 : 4, sections[s][3]);
    }
    return file;
}

class InfoTest : public ::testing::Test {
protected:
    QString Write(const QByteArray& Contents)
    {
        const QString path = FDir.filePath(QString("file%1").arg(++FFiles));
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(Contents);
        return path;
    }

    // Every property but ExeName, to see that a failed read changes none.
    static QStringList Properties(const TEPInfoExe& I)
    {
        return {I.LangId(),         I.CompanyName(),      I.FileDescription(), I.FileVersion(),
                I.InternalName(),   I.LegalCopyright(),   I.LegalTradeMarks(), I.OriginalFilename(),
                I.ProductName(),    I.ProductVersion(),   I.Comments(),        I.MajorVersion(),
                I.MinorVersion(),   I.Release(),          I.Build()};
    }
    static QStringList Parts(const TEPInfoExe& I)
    {
        return {I.MajorVersion(), I.MinorVersion(), I.Release(), I.Build()};
    }

    QTemporaryDir FDir;
    int FFiles = 0;
};

}  // namespace

TEST_F(InfoTest, ReadsTheBlockOfItsOwnProgramFile)
{
    TEPInfoExe info;
    EXPECT_EQ(info.LangId(), "0409");
    info.SetExeName(QCoreApplication::applicationFilePath());
    info.ReadVersionInfo();
    EXPECT_EQ(info.CompanyName(), "Test Maker Ltd");
    EXPECT_EQ(info.FileDescription(), "Controls test program");
    EXPECT_EQ(info.FileVersion(), "3.2");
    EXPECT_EQ(info.InternalName(), "controls_tests");
    EXPECT_EQ(info.LegalCopyright(), "Copyright (C) 2026 Test Maker Ltd");
    EXPECT_EQ(info.LegalTradeMarks(), "");
    EXPECT_EQ(info.OriginalFilename(), "controls_tests");
    EXPECT_EQ(info.ProductName(), "Controls Tests");
    EXPECT_EQ(info.ProductVersion(), "3.20");
    EXPECT_EQ(info.Comments(), QString::fromUtf8("Grüße, \"quoted\" and back\\slashed."));
    EXPECT_EQ(Parts(info), QStringList({"3", "2", "2", "2"}));  // the last part repeats
}

TEST_F(InfoTest, ReadsTheUtilityBlockFromEveryKindOfElfFile)
{
    for (bool is64 : {true, false})
        for (bool little : {true, false}) {
            TEPInfoExe info;
            info.SetExeName(Write(ElfFile(Block(UtilityStrings), is64, little)));
            info.ReadVersionInfo();
            EXPECT_EQ(info.ProductName(), "KT4 Head Upgrade Utility") << is64 << little;
            EXPECT_EQ(info.FileVersion(), "1.1.0.4");
            EXPECT_EQ(info.ProductVersion(), "1.10");
            EXPECT_EQ(info.Comments(), "Loads new firmware into the KT4 head through its infrared port.");
            EXPECT_EQ(Parts(info), QStringList({"1", "1", "0", "4"}));
        }
}

TEST_F(InfoTest, VersionWithoutADotGivesItselfFourTimes)
{
    TEPInfoExe info;
    info.SetExeName(Write(ElfFile(Block({{"FileVersion", "V12"}}))));
    info.ReadVersionInfo();
    EXPECT_EQ(Parts(info), QStringList({"V12", "V12", "V12", "V12"}));
    EXPECT_EQ(VersionPart("2.5", 3), "5");
    EXPECT_EQ(VersionPart("1..2", 2), "");
}

TEST_F(InfoTest, StringTableIsTheOneTheTranslationNames)
{
    TEPInfoExe info;  // language 0407, code page 04B0: the table "040704B0"
    info.SetExeName(Write(ElfFile(Block({{"FileVersion", "2.0.1.9"}, {"ProductName", "Gerät"}}, 0x0407, 0x04B0))));
    info.ReadVersionInfo();
    EXPECT_EQ(info.FileVersion(), "2.0.1.9");
    EXPECT_EQ(info.ProductName(), QString::fromUtf8("Gerät"));
    EXPECT_EQ(info.CompanyName(), "");  // not in the table
}

TEST_F(InfoTest, FileWithoutAUsableBlockLeavesEveryPropertyUnchanged)
{
    QByteArray tooLong = Block(UtilityStrings);
    tooLong[1] = char(0x7F);  // the root claims more bytes than there are
    QByteArray noTable = Block(UtilityStrings);
    noTable.replace(noTable.indexOf("040904E4"), 8, "0409FFFF");  // the translation names no table
    const QString files[] = {"/bin/true",  // a program without the section
                             Write("just some text\n"),
                             Write(""),
                             FDir.filePath("missing"),
                             Write(ElfFile(Block(UtilityStrings)).left(70)),
                             Write(ElfFile(tooLong)),
                             Write(ElfFile(noTable)),
                             Write(ElfFile(QByteArray(64, '\0')))};

    TEPInfoExe info;
    info.SetExeName(QCoreApplication::applicationFilePath());
    info.ReadVersionInfo();
    info.SetLangId("0407");
    const QStringList before = Properties(info);
    ASSERT_EQ(info.FileVersion(), "3.2");
    for (const QString& file : files) {
        info.SetExeName(file);
        info.ReadVersionInfo();
        EXPECT_EQ(Properties(info), before) << file.toStdString();
    }
}
