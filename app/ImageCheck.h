#pragma once
// Why a file is no flash image, in words a person can act on. The rules are
// the head model's (TKT4Head::LoadFlashFile): a file that opens for reading,
// exactly 131072 bytes, 0x10 in its type byte.

#include <QString>

// The cause ("no such file", "a directory, not a file", "131071 bytes; a
// flash file has exactly 131072", ...), or an empty text when the image is
// one the head model takes.
QString FlashImageProblem(const QString& FileName);
