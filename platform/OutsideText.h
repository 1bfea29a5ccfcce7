#pragma once
// Text that came from outside (the instrument, a dock, an image file, a file
// name, the history) is data: it is shown, never obeyed. On a one-line output
// (a terminal line, a trace line, a row of the history's table) it cannot
// break the line, drive the terminal or reorder what is shown around it.

#include <QByteArray>
#include <QString>

namespace OutsideText {

// The longest version text kept; an instrument's is a handful of characters.
constexpr int MaxVersionLength = 32;

// What a version can be: the printable characters (blank to '~') it begins
// with, at most MaxVersionLength of them; the rest is cut.
QByteArray KeptVersion(const QByteArray& Text);

// Text on one line: CR, LF and every other control character as \xHH, the
// Unicode format characters (bidirectional overrides and isolates, zero-width
// marks) and the line and paragraph separators as \uHHHH; the rest as it is.
QString OneLine(const QString& Text);

// The program's own text of several lines, with outside text in it: each line
// as OneLine, the lines joined by Break (a line break on a terminal, a blank
// where the whole must stay on one line).
QString Lines(const QString& Text, QChar Break = u'\n');

}  // namespace OutsideText

// Text for a terminal: line breaks as new lines, every other control or
// format character escaped, so nothing from outside can drive the terminal.
inline QString TerminalSafe(const QString& Text)
{
    return OutsideText::Lines(Text);
}
