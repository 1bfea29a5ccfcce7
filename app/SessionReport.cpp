#include "app/SessionReport.h"

#include "history/AttemptRows.h"
#include "link/TraceLog.h"

#include <QJsonDocument>
#include <unistd.h>

TSessionReport::TSessionReport(const QString& FileName, const QString& Image)
    : FCsv(FileName.endsWith(".csv", Qt::CaseInsensitive))
{
    const int handle = OpenWrittenFile(FileName, Image, &FFailure);
    if (handle < 0)
        return;
    if (!FFile.open(handle, QIODevice::WriteOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
        FFailure = FFile.errorString();
        ::close(handle);
        return;
    }
    if (FCsv && !Write(AttemptRows::CsvHeader()))
        FFile.close();
}

bool TSessionReport::Add(const QJsonObject& Row)
{
    return Write(FCsv ? AttemptRows::Csv(Row) : QJsonDocument(Row).toJson(QJsonDocument::Compact) + '\n');
}

bool TSessionReport::Write(const QByteArray& Bytes)
{
    if (!FFile.isOpen())
        return false;
    if (FFile.write(Bytes) == Bytes.size())
        return true;
    FFailure = FFile.errorString();
    return false;
}
