// What a shelf member reports, and how the shelf reads it: the unplugged
// adapter as an error event, kept as the cause in the history; the report
// read as it comes, whatever it holds.

#include "app/FlashCommand.h"
#include "app/Shelf.h"
#include "tests/app/SimProcess.h"
#include "upgrade/UpgradeTexts.h"

#include <QJsonDocument>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

QByteArray Event(const char* Name, const QJsonObject& Fields)
{
    return FlashReport::Line(Name, Fields) + '\n';
}

QList<QByteArray> Cut(const QByteArray& Bytes, qsizetype Size)
{
    QList<QByteArray> pieces;
    for (qsizetype at = 0; at < Bytes.size(); at += Size)
        pieces << Bytes.mid(at, Size);
    return pieces;
}

}  // namespace

// The instrument's end of the line closed in the middle of the upload, as an
// adapter pulled out: the session hears it as an error, told once, reported
// with its code, and the history keeps it as the cause.
TEST(Report, AnUnpluggedAdapterIsAnErrorKeptAsTheCause)
{
    TSimProcess sim({"--lose-after", "100"});
    QTemporaryDir dir;
    const QString history = "KT4_HISTORY=" + dir.filePath("history.sqlite");
    // A shelf's member: its report and the person's lines in one stream here.
    const TFlashRun run =
        RunFlash({sim.MakeImage(), "--port", sim.PtyPath(), "--yes", AnswerTimeOut, "--shelf-member"}, {history});
    const QString cause = "The serial port " + sim.PtyPath() +
                          " went away: the adapter was unplugged, or the device at its other end was closed.";
    EXPECT_EQ(run.ExitCode, fsFailed) << run.Output.toStdString();
    EXPECT_TRUE(run.Output.contains("kt4-flash: " + cause)) << "told as the upgrade's error";
    EXPECT_EQ(run.Output.count(cause), 3) << "once to the person, once as the error event, once in the end's record";

    QList<QJsonObject> errors, others;
    for (const QJsonObject& event : FlashReport::TReader().Add(run.Output.toUtf8()))
        (event["event"].toString() == FlashReport::Error ? errors : others) << event;
    ASSERT_FALSE(errors.isEmpty() || others.isEmpty()) << run.Output.toStdString();
    EXPECT_EQ(errors[0], (QJsonObject{{"event", "error"}, {"code", ecLinkPortLost}, {"text", cause}}));
    const QJsonObject end = others.last();
    EXPECT_EQ(QStringList({end["event"].toString(), end["outcome"].toString(), end["message"].toString()}),
              QStringList({"end", "failed", UpgradeText::Disconnected}));
    EXPECT_EQ(end["status"].toInt(), fsFailed);

    const QJsonObject record =
        QJsonDocument::fromJson(RunFlash({"--history", "--json"}, {history}).Output.toUtf8()).object();
    EXPECT_EQ(record["outcome"].toString(), "failed");
    EXPECT_EQ(record["message"].toString(), UpgradeText::Disconnected + " (" + cause + ")");
}

// The report read as it comes: lines cut anywhere, an over-long line dropped
// whole, lines that hold no event and events the shelf does not know passed
// over. The failure comes from "error" events alone, never from a box.
TEST(Report, TheShelfReadsItsMembersReport)
{
    const QByteArray version = Event(FlashReport::Version, {{"instrument_type", "KT4 head"}, {"version", "1.10"}});
    const QByteArray box = Event(FlashReport::Box, {{"kind", "Error"}, {"text", "a box"}});
    const QString lost = "lost\n{\"event\":\"end\"}";  // a line break in a text starts no line
    const QByteArray error = Event(FlashReport::Error, {{"code", ecLinkPortLost}, {"text", lost}});
    const QByteArray locked = Event(FlashReport::Error, {{"code", ecSessionHistory}, {"text", "locked"}});
    const QByteArray all = Event(FlashReport::Image, {{"version", "1.20"}, {"sha256", "ab"}}) + version +
                           Event(FlashReport::Page, {{"done", 64}, {"total", 446}, {"resends", 0}}) + box + error +
                           Event(FlashReport::End, {{"outcome", "failed"}, {"status", 4}, {"message", "gone"}});
    const QByteArray tooLong = Event(FlashReport::Error, {{"code", 1}, {"text", QString(FlashReport::MaxLine, 'x')}});
    const struct {
        const char* Name;
        QList<QByteArray> Pieces;
        QString Facts;  // old and new version; pages; the cause; the end's message; history problems
    } cases[] = {
        {"whole lines", {all}, "1.10;1.20;64/446;" + lost + ";gone;"},
        {"cut at every byte", Cut(all, 1), "1.10;1.20;64/446;" + lost + ";gone;"},
        {"an over-long line, then one", Cut(tooLong, 1000) << version, "1.10;;0/0;;;"},
        {"no event, or one unknown",
         {"garbage\n[1]\n{\"version\":\"9\"}\n{\"event\":5}\n", "{\"event\":\"weather\",\"version\":\"9\"}\n", box},
         ";;0/0;;;"},
        {"history problems, each once", {locked, locked, error}, ";;0/0;" + lost + ";;locked"},
        {"a line not yet ended", {version.chopped(1)}, ";;0/0;;;"},
    };
    for (const auto& c : cases) {
        FlashReport::TReader reader;
        TMemberReport r;
        for (const QByteArray& piece : c.Pieces)
            for (const QJsonObject& event : reader.Add(piece))
                r.Take(event);
        const QStringList facts = {r.OldVersion, r.ImageVersion, QString("%1/%2").arg(r.Done).arg(r.Total),
                                   r.FirstError, r.EndMessage, r.HistoryProblems.join('|')};
        EXPECT_EQ(facts.join(';'), c.Facts) << c.Name;
    }
}
