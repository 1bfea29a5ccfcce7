#include "platform/OutsideText.h"

#include <QRegularExpression>

namespace OutsideText {

namespace {

bool Escaped(char32_t Code)
{
    switch (QChar::category(Code)) {
    case QChar::Other_Control:
    case QChar::Other_Format:
    case QChar::Other_Surrogate:  // half of a pair: no character at all
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
        return true;
    default:
        return false;
    }
}

QString Escape(char32_t Code)
{
    if (Code <= 0xFF)
        return QString("\\x%1").arg(uint(Code), 2, 16, QChar('0'));
    if (Code <= 0xFFFF)
        return QString("\\u%1").arg(uint(Code), 4, 16, QChar('0'));
    return QString("\\U%1").arg(uint(Code), 8, 16, QChar('0'));
}

}  // namespace

QByteArray KeptVersion(const QByteArray& Text)
{
    qsizetype kept = 0;
    while (kept < Text.size() && kept < MaxVersionLength && Text[kept] >= ' ' && Text[kept] <= '~')
        ++kept;
    return Text.left(kept);
}

QString OneLine(const QString& Text)
{
    QString line;
    line.reserve(Text.size());
    for (qsizetype i = 0; i < Text.size(); ++i) {
        char32_t code = Text[i].unicode();
        const bool pair = QChar::isHighSurrogate(code) && i + 1 < Text.size() && Text[i + 1].isLowSurrogate();
        if (pair)
            code = QChar::surrogateToUcs4(Text[i], Text[i + 1]);
        if (Escaped(code))
            line += Escape(code);
        else
            line += Text.mid(i, pair ? 2 : 1);
        i += pair ? 1 : 0;
    }
    return line;
}

QString Lines(const QString& Text, QChar Break)
{
    static const QRegularExpression lineBreak("\r\n|\r|\n");
    QStringList lines = Text.split(lineBreak);
    for (QString& line : lines)
        line = OneLine(line);
    return lines.join(Break);
}

}  // namespace OutsideText
