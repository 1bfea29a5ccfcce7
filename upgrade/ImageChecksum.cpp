#include "upgrade/ImageChecksum.h"

#include "history/UpgradeHistory.h"
#include "platform/OutsideText.h"

#include <QFile>
#include <QRegularExpression>

QString ImageChecksum::Normalised(const QString& Text)
{
    static const QRegularExpression hex("^[0-9A-Fa-f]{64}$");
    const QString digits = Text.trimmed();
    return hex.match(digits).hasMatch() ? digits.toLower() : QString();
}

QString ImageChecksum::Beside(const QString& ImageFile)
{
    QFile file(ImageFile + ".sha256");
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QString line = QString::fromLatin1(file.readLine(4096));
    return Normalised(line.section(QRegularExpression("\\s+"), 0, 0, QString::SectionSkipEmpty));
}

QString ImageChecksum::Problem(const QString& ImageFile, const QByteArray& Bytes, const QString& Expected)
{
    if (Expected.isEmpty())
        return {};
    const QString actual = TUpgradeHistory::Sha256(Bytes);
    if (actual == Expected.toLower())
        return {};
    return QString("The image %1 has the SHA-256 %2, not the expected %3: it is refused.")
        .arg(OutsideText::OneLine(ImageFile), actual, Expected.toLower());
}
