#pragma once
// The checksum a release publishes beside its image: an image whose bytes do
// not have it is refused before anything is sent.

#include <QByteArray>
#include <QString>

namespace ImageChecksum {

// A SHA-256 as it may be given: 64 hexadecimal digits, either case. The
// digits in lower case, or an empty text when Text is not one.
QString Normalised(const QString& Text);

// The checksum in FILE.sha256 beside the image ("HEX  NAME" or "HEX" on its
// first line, as release downloads carry it), or an empty text when there
// is no such file or it holds no checksum.
QString Beside(const QString& ImageFile);

// Why the image's bytes are refused, naming the file and both checksums, or
// an empty text when they have the expected SHA-256 (or none is expected).
QString Problem(const QString& ImageFile, const QByteArray& Bytes, const QString& Expected);

}  // namespace ImageChecksum
