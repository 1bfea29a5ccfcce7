#pragma once
// The program's version block: the texts that say which build a program file is,
// carried inside the file itself in the ELF section ".kt4_version" and read back
// by TEPInfoExe (controls/Info.h).
//
// The block is a tree of nodes. Every node is
//
//   u16 Length        bytes of the whole node, its children included (a multiple of 4)
//   u16 ValueLength   bytes of the value
//   u16 Type          0 binary value, 1 text value (UTF-8, zero-terminated)
//   key               UTF-8, zero-terminated, then zero bytes up to a multiple of 4
//   value             ValueLength bytes, then zero bytes up to a multiple of 4
//   children          nodes, one after the other
//
// with every number little-endian and every offset counted from the start of the
// block. The tree of a block:
//
//   "KT4_VERSION_INFO"
//     "StringFileInfo"
//       "040904E4"            one string table: language and code page, 4 hex digits each
//         "CompanyName" = text, "FileDescription" = text, ... (one node per key)
//     "VarFileInfo"
//       "Translation"         binary: u16 language, u16 code page
//
// so a value is found by its path: "\VarFileInfo\Translation",
// "\StringFileInfo\040904E4\FileVersion".
//
// The builder is constexpr, so a program's block is made by the compiler (see
// kt4_version_block in controls/CMakeLists.txt); tests call it at run time.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace VersionBlock {

inline constexpr std::string_view SectionName = ".kt4_version";
inline constexpr std::string_view RootKey = "KT4_VERSION_INFO";
inline constexpr std::uint16_t TypeBinary = 0;
inline constexpr std::uint16_t TypeText = 1;

struct TString {
    std::string_view Key;
    std::string_view Value;
};

constexpr std::size_t Align4(std::size_t Offset)
{
    return (Offset + 3) & ~std::size_t(3);
}

namespace Detail {

class TWriter {
public:
    std::vector<unsigned char> Bytes;

    constexpr void U16(std::size_t Value)
    {
        Bytes.push_back(static_cast<unsigned char>(Value & 0xFF));
        Bytes.push_back(static_cast<unsigned char>((Value >> 8) & 0xFF));
    }
    constexpr void Text(std::string_view Text)
    {
        for (char c : Text)
            Bytes.push_back(static_cast<unsigned char>(c));
        Bytes.push_back(0);
    }
    constexpr void Pad()
    {
        while (Bytes.size() % 4 != 0)
            Bytes.push_back(0);
    }

    // Starts a node; its children follow; End fills in its length.
    constexpr std::size_t Begin(std::string_view Key, std::uint16_t Type, std::size_t ValueLength)
    {
        const std::size_t start = Bytes.size();
        U16(0);
        U16(ValueLength);
        U16(Type);
        Text(Key);
        Pad();
        return start;
    }
    constexpr void End(std::size_t Start)
    {
        Pad();
        const std::size_t length = Bytes.size() - Start;
        if (length > 0xFFFF)
            throw std::length_error("version block node over 65535 bytes");  // at compile time: an error
        Bytes[Start] = static_cast<unsigned char>(length & 0xFF);
        Bytes[Start + 1] = static_cast<unsigned char>(length >> 8);
    }
};

constexpr char HexDigit(unsigned Value)
{
    return "0123456789ABCDEF"[Value & 0xF];
}

}  // namespace Detail

// The string table's key: language and code page as 4 upper-case hex digits each.
constexpr std::array<char, 8> TableKey(std::uint16_t Language, std::uint16_t CodePage)
{
    std::array<char, 8> key{};
    for (int i = 0; i < 4; ++i) {
        key[i] = Detail::HexDigit(Language >> (12 - 4 * i));
        key[4 + i] = Detail::HexDigit(CodePage >> (12 - 4 * i));
    }
    return key;
}

constexpr std::vector<unsigned char> Build(std::uint16_t Language, std::uint16_t CodePage,
                                           std::span<const TString> Strings)
{
    Detail::TWriter w;
    const std::size_t root = w.Begin(RootKey, TypeBinary, 0);

    const std::size_t stringInfo = w.Begin("StringFileInfo", TypeText, 0);
    const std::array<char, 8> tableKey = TableKey(Language, CodePage);
    const std::size_t table = w.Begin(std::string_view(tableKey.data(), tableKey.size()), TypeText, 0);
    for (const TString& s : Strings) {
        const std::size_t entry = w.Begin(s.Key, TypeText, s.Value.size() + 1);
        w.Text(s.Value);
        w.End(entry);
    }
    w.End(table);
    w.End(stringInfo);

    const std::size_t varInfo = w.Begin("VarFileInfo", TypeBinary, 0);
    const std::size_t translation = w.Begin("Translation", TypeBinary, 4);
    w.U16(Language);
    w.U16(CodePage);
    w.End(translation);
    w.End(varInfo);

    w.End(root);
    return w.Bytes;
}

constexpr std::size_t Size(std::uint16_t Language, std::uint16_t CodePage, std::span<const TString> Strings)
{
    return Build(Language, CodePage, Strings).size();
}

// The block as an array the compiler can place in a section; N = Size(...).
template <std::size_t N>
constexpr std::array<unsigned char, N> BuildArray(std::uint16_t Language, std::uint16_t CodePage,
                                                  std::span<const TString> Strings)
{
    const std::vector<unsigned char> bytes = Build(Language, CodePage, Strings);
    std::array<unsigned char, N> block{};
    for (std::size_t i = 0; i < N && i < bytes.size(); ++i)
        block[i] = bytes[i];
    return block;
}

}  // namespace VersionBlock
