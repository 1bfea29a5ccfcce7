#pragma once
// TEPInfoExe: reads the version block of a program file into text properties.
//
// The block lives in the program file itself, in the ELF section ".kt4_version"
// that the build writes (kt4_version_block in controls/CMakeLists.txt; the layout
// is in controls/VersionBlock.h). A file without the section - not an ELF file,
// missing, unreadable, or a block that does not parse - leaves every property as
// it was.

#include <QByteArray>
#include <QObject>
#include <QString>
#include <optional>

class TEPInfoExe : public QObject {
public:
    explicit TEPInfoExe(QObject* Owner = nullptr);

    // Kept for the caller; the read does not consult it.
    QString LangId() const { return FLangId; }
    void SetLangId(const QString& Value) { FLangId = Value; }

    // The program file to read.
    QString ExeName() const { return FExeName; }
    void SetExeName(const QString& Value) { FExeName = Value; }

    // Reads the block of ExeName into the properties below. The translation entry
    // names the string table ("StringFileInfo\040904E4" for language 0409, code
    // page 04E4); a key missing from that table reads as empty text.
    void ReadVersionInfo();

    QString CompanyName() const { return FCompanyName; }
    QString FileDescription() const { return FFileDescription; }
    QString FileVersion() const { return FFileVersion; }
    QString InternalName() const { return FInternalName; }
    QString LegalCopyright() const { return FLegalCopyright; }
    QString LegalTradeMarks() const { return FLegalTradeMarks; }
    QString OriginalFilename() const { return FOriginalFilename; }
    QString ProductName() const { return FProductName; }
    QString ProductVersion() const { return FProductVersion; }
    QString Comments() const { return FComments; }

    // Fields 1 to 4 of FileVersion (VersionPart).
    QString MajorVersion() const { return FMajorVersion; }
    QString MinorVersion() const { return FMinorVersion; }
    QString Release() const { return FRelease; }
    QString Build() const { return FBuild; }

private:
    QString FLangId = QStringLiteral("0409");
    QString FExeName;
    QString FCompanyName, FFileDescription, FFileVersion, FInternalName, FLegalCopyright, FLegalTradeMarks,
        FOriginalFilename, FProductName, FProductVersion, FComments;
    QString FMajorVersion, FMinorVersion, FRelease, FBuild;
};

// Part N (from 1) of a version text: N times, take the text before the first "."
// and go on after it, or, without a ".", the whole remaining text, which stays.
// So "1.1.0.4" gives 1, 1, 0, 4; "3.2" gives 3, 2, 2, 2; "7" gives 7 four times.
QString VersionPart(const QString& Text, int N);

// The contents of the named section of an ELF file (32 or 64 bit, either byte
// order); nothing when the file is missing, is not ELF or has no such section.
std::optional<QByteArray> ReadElfSection(const QString& FileName, const QByteArray& SectionName);

// The value at Path ("\VarFileInfo\Translation", "StringFileInfo\040904E4\FileVersion")
// of a version block; nothing when the path is not there or the block is damaged.
// A text value comes without its terminating zero.
std::optional<QByteArray> QueryVersionValue(const QByteArray& Block, const QString& Path);
