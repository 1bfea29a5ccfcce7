#include "app/FlashReport.h"

namespace FlashReport {

QByteArray Line(const char* Key, const QString& Value)
{
    return QByteArray(Key) + ' ' + OutsideText::Lines(Value, ' ').toUtf8();
}

bool Parse(const QByteArray& Line, QString* Key, QString* Value)
{
    const QString line = QString::fromUtf8(Line).trimmed();
    const qsizetype blank = line.indexOf(' ');
    if (blank <= 0)
        return false;
    *Key = line.left(blank);
    *Value = line.mid(blank + 1);
    return true;
}

QString KindName(TMsgDlgType Type)
{
    switch (Type) {
    case mtWarning: return "Warning";
    case mtError: return "Error";
    case mtInformation: return "Information";
    case mtConfirmation: return "Confirm";
    case mtCustom: break;
    }
    return "Message";
}

}  // namespace FlashReport
