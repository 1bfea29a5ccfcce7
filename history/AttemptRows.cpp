#include "history/AttemptRows.h"

#include <QJsonValue>
#include <QStringList>

namespace {

QJsonValue Time(const QDateTime& Time)
{
    return Time.isValid() ? QJsonValue(Time.toUTC().toString(Qt::ISODateWithMs)) : QJsonValue();
}

QJsonValue Duration(const TUpgradeAttempt& Row)
{
    if (!Row.Started.isValid() || !Row.Ended.isValid())
        return QJsonValue();
    return Row.Started.msecsTo(Row.Ended) / 1000.0;
}

// The columns in their order, each with its JSON name.
const QStringList& Columns()
{
    static const QStringList columns = {
        "id", "started", "ended", "duration_s", "program", "program_version", "host", "user", "way", "port",
        "dock_address", "dock_kind", "instrument_type", "version_before", "version_after", "image_file",
        "image_sha256", "image_version", "pages_sent", "resends", "outcome", "message",
    };
    return columns;
}

QByteArray CsvField(const QJsonValue& Value)
{
    QString text = Value.isDouble() ? QString::number(Value.toDouble(), 'g', 12) : Value.toString();
    static const QString formulaStart = "=+-@\t\r";
    if (!text.isEmpty() && formulaStart.contains(text.front()) && !Value.isDouble())
        text.prepend('\'');
    return '"' + text.replace('"', "\"\"").toUtf8() + '"';
}

}  // namespace

QString AttemptRows::VersionAfter(const TUpgradeAttempt& Row)
{
    if (!Row.VersionAfter.isEmpty())
        return Row.VersionAfter;
    if (Row.Outcome == HistoryOutcome::Completed || Row.Outcome == HistoryOutcome::Confirmed)
        return Row.ImageVersion;
    if (Row.Outcome == HistoryOutcome::Skipped || Row.Outcome == HistoryOutcome::Identified
        || (Row.PagesSent == 0 && Row.Outcome != HistoryOutcome::InProgress))
        return Row.VersionBefore;
    return {};
}

QJsonObject AttemptRows::Json(const TUpgradeAttempt& Row)
{
    return {
        {"id", Row.Id > 0 ? QJsonValue(Row.Id) : QJsonValue()},  // the history's number; none outside it
        {"started", Time(Row.Started)},
        {"ended", Time(Row.Ended)},
        {"duration_s", Duration(Row)},
        {"program", Row.Program},
        {"program_version", Row.ProgramVersion},
        {"host", Row.Host},
        {"user", Row.User},
        {"way", Row.Way},
        {"port", Row.Port},
        {"dock_address", Row.DockAddress},
        {"dock_kind", Row.DockKind},
        {"instrument_type", Row.InstrumentType},
        {"version_before", Row.VersionBefore},
        {"version_after", VersionAfter(Row)},
        {"image_file", Row.ImageFile},
        {"image_sha256", Row.ImageSha256},
        {"image_version", Row.ImageVersion},
        {"pages_sent", Row.PagesSent},
        {"resends", Row.Resends},
        {"outcome", Row.Outcome},
        {"message", Row.Message},
    };
}

QByteArray AttemptRows::CsvHeader()
{
    return Columns().join(',').toUtf8() + "\r\n";
}

QByteArray AttemptRows::Csv(const TUpgradeAttempt& Row)
{
    return Csv(Json(Row));
}

QByteArray AttemptRows::Csv(const QJsonObject& Row)
{
    QByteArrayList fields;
    for (const QString& column : Columns())
        fields << CsvField(Row.value(column));
    return fields.join(',') + "\r\n";
}
