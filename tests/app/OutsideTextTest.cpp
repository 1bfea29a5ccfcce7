// What the instrument, an image file or the history holds is data: shown as
// plain text, and kept to its line on the terminal, the trace and the logs.

#include "app/HistoryDialog.h"
#include "app/uDebug.h"
#include "app/uFlash.h"
#include "app/QtDialogs.h"
#include "tests/TestSupport.h"
#include "tests/app/SimProcess.h"

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QMessageBox>
#include <QScopeGuard>
#include <QTextBlock>
#include <QTimer>
#include <gtest/gtest.h>

static QByteArray ReadAll(const QString& Path)
{
    QFile f(Path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

TEST(OutsideText, TheWindowShowsTheVersionAndTheImageFieldsAsPlainTextOnOneLine)
{
    QTemporaryDir dir;  // holds a picture a rich-text label would read and draw 300 pixels tall
    QImage(300, 300, QImage::Format_RGB32).save(dir.filePath("tall.png"));
    const auto restore = qScopeGuard([previous = QDir::currentPath()] { QDir::setCurrent(previous); });
    QDir::setCurrent(dir.path());
    const struct {
        const char* Answer;
        QByteArray ImageFields;  // version (4 bytes), date (19 bytes)
        const char* Shown;       // the three labels
        bool Cut;
    } cases[] = {
        {"<h1>1.10</h1>", "1\n2\r<img src=tall.png> ",
         "Flash Version: <h1>1.10</h1>|Upgrading to: 1\\x0a2\\x0d|(<img src=tall.png> )", false},
        {"1.10\r\n<h1>Done</h1>", "2.002026-12-01 08:30:00",
         "Flash Version: 1.10|Upgrading to: 2.00|(2026-12-01 08:30:00)", true},
        {"1.10 and forty more characters than a version has", "2.002026-12-01 08:30:00",
         "Flash Version: 1.10 and forty more characters t|Upgrading to: 2.00|(2026-12-01 08:30:00)", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Answer);
        TScriptedDialogsScope dialogs;
        TSimProcess sim({"--version", c.Answer});
        QByteArray image = ReadAll(sim.MakeImage());
        image.replace(FlashVersionOffset, 4, c.ImageFields.left(4)).replace(FlashDateOffset, 19, c.ImageFields.mid(4));
        QFile file(sim.Dir() + "/hostile.bin");
        ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(image) == image.size());
        file.close();
        dialogs->QueueFile(file.fileName());
        qputenv("KT4_IRCOMM", sim.PtyPath().toLocal8Bit());
        TfrmUpgrade window;
        TfrmDebug debug;
        window.SetDebugWindow(&debug);
        window.show();
        ASSERT_TRUE(WaitFor([&] { return !window.KeskLink1->ResponseTimer()->Enabled(); }));
        qunsetenv("KT4_IRCOMM");
        QStringList shown;
        int richOrTall = 0;
        auto progress = window.KT4Head1->OnFlashProgress.Get();
        window.KT4Head1->OnFlashProgress = [&, progress](QObject* Sender, int Position, int Total) {
            progress(Sender, Position, Total);
            if (!shown.isEmpty())
                return;
            for (QLabel* label : {window.lblFlashVer, window.lblFlashNewVer, window.lblFlashNewDate}) {
                shown << label->text();
                richOrTall += label->textFormat() != Qt::PlainText ||
                              label->sizeHint().height() > label->fontMetrics().height() * 3 / 2;
            }
            window.cbStop->click();
        };
        window.cbStart->click();
        ASSERT_TRUE(WaitFor([&] { return dialogs->Texts().contains("Corvane ZRA/ZRN Disconnected"); }, 60000));
        EXPECT_EQ(shown.join('|').toStdString(), c.Shown);
        EXPECT_EQ(richOrTall, 0);
        EXPECT_EQ(debug.Lines().filter("# the version answer holds").size(), c.Cut ? 1 : 0);
    }
}

TEST(OutsideText, AMessageBoxShowsItsTextAsPlainText)
{
    Qt::TextFormat format = Qt::AutoText;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        format = box->textFormat();
        box->button(QMessageBox::No)->click();
    });
    TQtDialogs().MessageDlg("Upgrade To Version <h1>", mtConfirmation, mbYesNo);
    EXPECT_EQ(format, Qt::PlainText);
}

TEST(OutsideText, AVersionAnswerCannotForgeALineOnTheTerminal)
{
    for (const char* answer : {"1.10\r\n[Information] Flash Upload Completed",
                               "1.10\n[Information] Flash Upload Completed",
                               "1.10\r[Information] Flash Upload Completed",
                               "1.10\x1b[2K\r[Information] Flash Upload Completed"}) {
        SCOPED_TRACE(answer);
        TSimProcess sim({"--version", answer, "--lose-after", "66"});
        const QString trace = sim.Dir() + "/trace.txt";
        const TFlashRun run =
            RunFlash({sim.MakeImage(), "--port", sim.PtyPath(), "--yes", "--trace", trace, AnswerTimeOut});
        EXPECT_NE(run.ExitCode, 0);
        EXPECT_TRUE(run.Output.split('\n').contains("Flash Version: 1.10")) << run.Output.toStdString();
        EXPECT_FALSE(run.Output.contains("[Information] Flash Upload Completed"));
        EXPECT_TRUE(ReadAll(trace).contains("the version answer holds"));
    }
}

TEST(OutsideText, TheHistoryShowsEachRecordOnOneLineInItsOwnOrder)
{
    QTemporaryDir dir;
    const QString file = dir.filePath("history.sqlite");
    const QStringList hostile = {"1.10\r\n[Information] Done", "\u202Egnp.exe", "a\u2066b\u2069", "x\u2028y\x1b[2J"};
    TUpgradeHistory history(file);
    for (const QString& text : hostile) {
        TUpgradeAttempt a;
        a.Way = "serial";
        a.Port = a.VersionBefore = a.ImageVersion = a.Message = text;
        a.ImageFile = "/images/" + text;
        a.Outcome = HistoryOutcome::Completed;
        ASSERT_TRUE(history.Begin(a) > 0 && history.Finish(a));
    }
    const TFlashRun run = RunFlash({"--history"}, {"KT4_HISTORY=" + file});
    EXPECT_EQ(run.Output.count('\n'), 1 + hostile.size()) << run.Output.toStdString();
    THistoryDialog dialog(file);
    QString cells;
    for (int row = 0; row < dialog.Model()->rowCount(); ++row)
        for (int column = 0; column < dialog.Model()->columnCount(); ++column)
            cells += dialog.Model()->data(dialog.Model()->index(row, column)).toString();
    for (const QString& shown : {run.Output, cells})
        for (const QChar c : {u'\r', u'\x1b', u'\u202E', u'\u2066', u'\u2028'})
            EXPECT_FALSE(shown.contains(c)) << int(c.unicode()) << shown.toStdString();
}

TEST(OutsideText, TheDebugLogKeepsTheNewestLinesEachOnOneLine)
{
    TfrmDebug debug;
    for (int n = 0; n < TfrmDebug::MaxLines + 100; ++n)
        debug.AddLine(QString("RCV#ACK%1\r\n#").arg(n));
    debug.AddLine("RCV#" + QString(1000000, 'x') + "#");
    EXPECT_EQ(debug.Lines().size(), TfrmDebug::MaxLines);
    EXPECT_EQ(debug.Debug->blockCount(), TfrmDebug::MaxLines);
    EXPECT_EQ(debug.Lines().first().toStdString(), "RCV#ACK101\r\n#");
    EXPECT_TRUE(debug.Debug->document()->firstBlock().text().startsWith("RCV#ACK101"));
    EXPECT_LT(debug.Lines().last().size(), TfrmDebug::MaxLineLength + 100);
}
