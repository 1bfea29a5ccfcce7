#include "upgrade/UpgradeTexts.h"

#include <QLocale>

double VersionNumber(const QString& Text)
{
    bool ok = false;
    const double value = QLocale::c().toDouble(Text.trimmed(), &ok);
    return ok ? value : 0.0;
}

bool IsOlderImage(const QString& Instrument, const QString& Image)
{
    const double instrument = VersionNumber(Instrument);
    const double image = VersionNumber(Image);
    return instrument > 0 && image > 0 && instrument > image;
}
