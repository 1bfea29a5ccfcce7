#include "controls/Info.h"

#include "controls/VersionBlock.h"

#include <QFile>
#include <QStringList>
#include <cstddef>
#include <elf.h>

namespace {

// Sections larger than this are not version blocks.
constexpr quint64 MaxSectionSize = 1 << 20;
// More section headers than this are taken for a damaged file.
constexpr quint64 MaxSections = 1 << 20;

// Reads the section of an ELF file of one class (Ehdr and Shdr of 32 or 64 bits).
class TElfFile {
public:
    TElfFile(QFile& File, bool LittleEndian) : FFile(File), FLittle(LittleEndian), FSize(File.size()) {}

    std::optional<QByteArray> At(quint64 Offset, quint64 Length)
    {
        if (Offset > quint64(FSize) || Length > quint64(FSize) - Offset)
            return std::nullopt;
        if (!FFile.seek(qint64(Offset)))
            return std::nullopt;
        QByteArray bytes = FFile.read(qint64(Length));
        if (quint64(bytes.size()) != Length)
            return std::nullopt;
        return bytes;
    }

    // An unsigned field of Size bytes at Offset in Bytes, in the file's byte order.
    quint64 Field(const QByteArray& Bytes, std::size_t Offset, std::size_t Size) const
    {
        quint64 value = 0;
        for (std::size_t i = 0; i < Size; ++i) {
            const quint64 byte = static_cast<unsigned char>(Bytes[qsizetype(Offset + i)]);
            value |= FLittle ? byte << (8 * i) : byte << (8 * (Size - 1 - i));
        }
        return value;
    }

    template <class Ehdr, class Shdr>
    std::optional<QByteArray> Section(const QByteArray& Name)
    {
#define KT4_FIELD(Bytes, Type, Member) Field(Bytes, offsetof(Type, Member), sizeof(Type::Member))
        const auto header = At(0, sizeof(Ehdr));
        if (!header)
            return std::nullopt;
        const quint64 shoff = KT4_FIELD(*header, Ehdr, e_shoff);
        const quint64 shentsize = KT4_FIELD(*header, Ehdr, e_shentsize);
        quint64 shnum = KT4_FIELD(*header, Ehdr, e_shnum);
        quint64 shstrndx = KT4_FIELD(*header, Ehdr, e_shstrndx);
        if (shoff == 0 || shentsize < sizeof(Shdr))
            return std::nullopt;

        // Section 0 holds the counts that do not fit the header.
        if (shnum == 0 || shstrndx == SHN_XINDEX) {
            const auto first = At(shoff, sizeof(Shdr));
            if (!first)
                return std::nullopt;
            if (shnum == 0)
                shnum = KT4_FIELD(*first, Shdr, sh_size);
            if (shstrndx == SHN_XINDEX)
                shstrndx = KT4_FIELD(*first, Shdr, sh_link);
        }
        if (shnum == 0 || shnum > MaxSections || shstrndx >= shnum)
            return std::nullopt;

        const auto table = At(shoff, shnum * shentsize);
        if (!table)
            return std::nullopt;
        auto contents = [&](quint64 Index) -> std::optional<QByteArray> {
            const QByteArray entry = table->mid(qsizetype(Index * shentsize), qsizetype(sizeof(Shdr)));
            if (KT4_FIELD(entry, Shdr, sh_type) == SHT_NOBITS)
                return std::nullopt;
            const quint64 size = KT4_FIELD(entry, Shdr, sh_size);
            if (size > MaxSectionSize)
                return std::nullopt;
            return At(KT4_FIELD(entry, Shdr, sh_offset), size);
        };

        const auto names = contents(shstrndx);
        if (!names)
            return std::nullopt;
        for (quint64 i = 1; i < shnum; ++i) {
            const QByteArray entry = table->mid(qsizetype(i * shentsize), qsizetype(sizeof(Shdr)));
            const quint64 nameOffset = KT4_FIELD(entry, Shdr, sh_name);
            if (nameOffset >= quint64(names->size()))
                continue;
            const char* name = names->constData() + nameOffset;
            const qsizetype room = names->size() - qsizetype(nameOffset);
            if (qsizetype(qstrnlen(name, size_t(room))) == Name.size() && Name == QByteArray(name, Name.size()))
                return contents(i);
        }
        return std::nullopt;
#undef KT4_FIELD
    }

private:
    QFile& FFile;
    bool FLittle;
    qint64 FSize;
};

// One node of a version block.
struct TNode {
    qsizetype End;  // one past its last byte
    QByteArray Key;
    quint16 Type;
    qsizetype ValueStart;
    qsizetype ValueLength;
    qsizetype ChildrenStart;
};

quint16 U16(const QByteArray& Bytes, qsizetype Offset)
{
    return quint16(static_cast<unsigned char>(Bytes[Offset]) | static_cast<unsigned char>(Bytes[Offset + 1]) << 8);
}

// The node at Start that must end by Limit; nothing when it does not fit.
std::optional<TNode> ParseNode(const QByteArray& Block, qsizetype Start, qsizetype Limit)
{
    if (Start % 4 != 0 || Start + 6 > Limit)
        return std::nullopt;
    const quint16 length = U16(Block, Start);
    const quint16 valueLength = U16(Block, Start + 2);
    if (length < 6 || Start + length > Limit)
        return std::nullopt;
    TNode node;
    node.End = Start + length;
    node.Type = U16(Block, Start + 4);
    const qsizetype keyEnd = Block.indexOf('\0', Start + 6);
    if (keyEnd < 0 || keyEnd >= node.End)
        return std::nullopt;
    node.Key = Block.mid(Start + 6, keyEnd - (Start + 6));
    node.ValueStart = qsizetype(VersionBlock::Align4(std::size_t(keyEnd + 1)));
    node.ValueLength = valueLength;
    if (node.ValueStart + node.ValueLength > node.End)
        return std::nullopt;
    node.ChildrenStart = std::min(qsizetype(VersionBlock::Align4(std::size_t(node.ValueStart + valueLength))), node.End);
    return node;
}

}  // namespace

std::optional<QByteArray> ReadElfSection(const QString& FileName, const QByteArray& SectionName)
{
    QFile file(FileName);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray ident = file.read(EI_NIDENT);
    if (ident.size() != EI_NIDENT || !ident.startsWith(QByteArray(ELFMAG, SELFMAG)))
        return std::nullopt;
    const char data = ident[EI_DATA];
    if (data != ELFDATA2LSB && data != ELFDATA2MSB)
        return std::nullopt;
    TElfFile elf(file, data == ELFDATA2LSB);
    switch (ident[EI_CLASS]) {
    case ELFCLASS64:
        return elf.Section<Elf64_Ehdr, Elf64_Shdr>(SectionName);
    case ELFCLASS32:
        return elf.Section<Elf32_Ehdr, Elf32_Shdr>(SectionName);
    default:
        return std::nullopt;
    }
}

std::optional<QByteArray> QueryVersionValue(const QByteArray& Block, const QString& Path)
{
    auto node = ParseNode(Block, 0, Block.size());
    if (!node || node->Key != QByteArray(VersionBlock::RootKey.data(), qsizetype(VersionBlock::RootKey.size())))
        return std::nullopt;
    for (const QString& part : Path.split('\\', Qt::SkipEmptyParts)) {
        const QByteArray key = part.toUtf8();
        std::optional<TNode> found;
        for (qsizetype at = node->ChildrenStart; at < node->End && !found;) {
            const auto child = ParseNode(Block, at, node->End);
            if (!child)
                return std::nullopt;  // damaged
            if (qstricmp(child->Key.constData(), key.constData()) == 0)
                found = child;
            at = qsizetype(VersionBlock::Align4(std::size_t(child->End)));
        }
        if (!found)
            return std::nullopt;
        node = found;
    }
    QByteArray value = Block.mid(node->ValueStart, node->ValueLength);
    if (node->Type == VersionBlock::TypeText) {
        const qsizetype zero = value.indexOf('\0');
        if (zero >= 0)
            value.truncate(zero);
    }
    return value;
}

QString VersionPart(const QString& Text, int N)
{
    QString rest = Text;
    QString part;
    for (int i = 0; i < N; ++i) {
        const qsizetype dot = rest.indexOf('.');
        if (dot >= 0) {
            part = rest.left(dot);
            rest = rest.mid(dot + 1);
        } else {
            part = rest;
        }
    }
    return part;
}

TEPInfoExe::TEPInfoExe(QObject* Owner) : QObject(Owner) {}

void TEPInfoExe::ReadVersionInfo()
{
    const auto block = ReadElfSection(FExeName, QByteArray(VersionBlock::SectionName.data(),
                                                           qsizetype(VersionBlock::SectionName.size())));
    if (!block || block->isEmpty())
        return;

    // The first translation entry: the language in its low 16 bits, the code page in its high 16 bits.
    const auto translation = QueryVersionValue(*block, QStringLiteral("\\VarFileInfo\\Translation"));
    if (!translation || translation->size() < 4)
        return;
    const quint16 language = U16(*translation, 0);
    const quint16 codePage = U16(*translation, 2);
    const QString prefix = QString::asprintf("StringFileInfo\\%04X%04X", language, codePage);
    if (!QueryVersionValue(*block, prefix))
        return;  // no string table for the translation: not a block to read

    auto text = [&](const char* Key) {
        const auto value = QueryVersionValue(*block, prefix + '\\' + QLatin1String(Key));
        return value ? QString::fromUtf8(*value) : QString();
    };
    FCompanyName = text("CompanyName");
    FFileDescription = text("FileDescription");
    FFileVersion = text("FileVersion");
    FInternalName = text("InternalName");
    FLegalCopyright = text("LegalCopyright");
    FLegalTradeMarks = text("LegalTradeMarks");
    FOriginalFilename = text("OriginalFilename");
    FProductName = text("ProductName");
    FProductVersion = text("ProductVersion");
    FComments = text("Comments");

    FMajorVersion = VersionPart(FFileVersion, 1);
    FMinorVersion = VersionPart(FFileVersion, 2);
    FRelease = VersionPart(FFileVersion, 3);
    FBuild = VersionPart(FFileVersion, 4);
}
