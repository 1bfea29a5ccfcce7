#pragma once
// A bench session's report: one row per instrument as its attempt ends, CSV
// (a name ending in ".csv", with a header line) or JSON lines (any other
// name). Each row is written whole and at once, so that a program stopped at
// any moment leaves a file that reads to its last row. The file is held to
// the trace's rules: a regular or a new file (0600), never the image, a
// device or a symbolic link.

#include <QFile>
#include <QJsonObject>
#include <QString>

class TSessionReport {
public:
    // Opens (replaces) FileName; Ok() tells whether that worked.
    TSessionReport(const QString& FileName, const QString& Image);

    bool Ok() const { return FFile.isOpen(); }
    QString ErrorString() const { return FFailure; }
    bool Csv() const { return FCsv; }
    // One attempt's row (AttemptRows::Json's form); false when it could not
    // be written whole.
    bool Add(const QJsonObject& Row);

private:
    bool Write(const QByteArray& Bytes);

    QFile FFile;
    QString FFailure;
    bool FCsv = false;
};
