#pragma once
// The layout of a flash image of the KT4 head and a maker of valid sample images.
//
// An image is a memory image of the instrument's 128 KiB flash: the byte at offset N belongs to
// page N / 256. The last page carries the image's date text, version text and instrument type byte.

#include <QByteArray>

namespace SampleImage {

constexpr int ImageSize = 0x20000;        // 131072 bytes, pages 0 to 511
constexpr int PageSize = 256;
constexpr int PageCount = ImageSize / PageSize;
constexpr int DateOffset = 0x1FFC0;       // 19 bytes of date text
constexpr int DateLength = 19;
constexpr int VersionOffset = 0x1FFD4;    // 4 bytes of version text
constexpr int VersionLength = 4;
constexpr int TypeOffset = 0x1FFD9;       // instrument type byte
constexpr char TypeByte = 0x10;           // 16: a KT4 head

// The 16-bit sum of a page's bytes, each taken as 0..255, as the page command carries it.
quint16 pageChecksum(const QByteArray& page);

// A valid image: deterministic pseudo-random content (the same texts always give the same
// image), the given date (19 bytes) and version (4 bytes) texts and the type byte.
// Texts of the wrong length are cut or padded with blanks.
QByteArray make(const QByteArray& version, const QByteArray& date);

// The 4 version bytes of an image of ImageSize bytes.
QByteArray versionOf(const QByteArray& image);

// Writes data to fileName atomically (readers never see a half-written file).
bool writeFile(const QString& fileName, const QByteArray& data, QString* error);

} // namespace SampleImage
