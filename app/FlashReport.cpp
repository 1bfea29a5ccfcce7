#include "app/FlashReport.h"

#include <QJsonDocument>
#include <optional>

namespace FlashReport {

namespace {

std::optional<QJsonObject> Read(const QByteArray& Line)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(Line, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject() ||
        !document.object().value("event").isString())
        return std::nullopt;
    return document.object();
}

}  // namespace

QByteArray Line(const char* Event, const QJsonObject& Fields)
{
    QJsonObject fields = Fields;
    fields.remove("event");
    // The event's name first, for a person reading the stream (the names are
    // this file's, plain words that need no escaping).
    const QByteArray head = QByteArray("{\"event\":\"") + Event + '"';
    return fields.isEmpty() ? head + '}' : head + ',' + QJsonDocument(fields).toJson(QJsonDocument::Compact).mid(1);
}

bool Parse(const QByteArray& Line, QString* Event, QString* Fields)
{
    const std::optional<QJsonObject> event = Read(Line);
    if (!event)
        return false;
    *Event = event->value("event").toString();
    *Fields = QString::fromUtf8(QJsonDocument(*event).toJson(QJsonDocument::Compact));
    return true;
}

QList<QJsonObject> TReader::Add(const QByteArray& Bytes)
{
    QList<QJsonObject> events;
    qsizetype at = 0;
    while (at < Bytes.size()) {
        const qsizetype end = Bytes.indexOf('\n', at);
        const qsizetype stop = end < 0 ? Bytes.size() : end;
        if (!FTooLong) {
            FPending.append(Bytes.constData() + at, stop - at);
            if (FPending.size() > MaxLine) {
                FTooLong = true;
                FPending.clear();
            }
        }
        if (end < 0)
            break;
        if (!FTooLong)
            if (std::optional<QJsonObject> event = Read(FPending))
                events << *event;
        FPending.clear();
        FTooLong = false;
        at = end + 1;
    }
    return events;
}


}  // namespace FlashReport
