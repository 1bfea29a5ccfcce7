#pragma once
// An attempt as a row a program or a spreadsheet reads: one JSON object, or
// one CSV line under a header. The history's export and a bench's session
// report share these columns, so one tool reads both.

#include "history/UpgradeHistory.h"

#include <QByteArray>
#include <QJsonObject>

namespace AttemptRows {

// Every field, with "duration_s" and "version_after" beside the stored ones.
QJsonObject Json(const TUpgradeAttempt& Row);
// The CSV header line and one attempt's line (RFC 4180: every field quoted,
// quotes doubled; a text that a spreadsheet would take for a formula starts
// with an apostrophe). Both end with CRLF.
QByteArray CsvHeader();
QByteArray Csv(const TUpgradeAttempt& Row);
// The same from the JSON form (a shelf member's report carries it).
QByteArray Csv(const QJsonObject& Row);

// The version the instrument runs after the attempt, as far as it is known:
// the one it reported last, the image's once the program command was
// acknowledged, its old one when nothing was written.
QString VersionAfter(const TUpgradeAttempt& Row);

}  // namespace AttemptRows
