// The window's "Upgrade History…": the real main window under the offscreen
// platform, its Help menu, and the read-only table over a real history file.

#include "app/HistoryDialog.h"
#include "app/uFlash.h"
#include "tests/TestSupport.h"
#include "tests/history/HistoryTestSupport.h"

#include <QMenu>
#include <gtest/gtest.h>

namespace {

QAction* HelpAction(TfrmUpgrade& Window, const QString& Text)
{
    for (QAction* action : Window.mnuHelp->actions())
        if (action->text() == Text)
            return action;
    return nullptr;
}

QString Cell(THistoryModel* Model, int Row, int Column)
{
    return Model->data(Model->index(Row, Column)).toString();
}

}  // namespace

TEST(HistoryWindow, HelpUpgradeHistoryShowsTheRecordsNewestFirst)
{
    THistoryDir dir;
    {
        TUpgradeHistory history(dir.File());
        for (int n = 0; n < 3; ++n) {
            TUpgradeAttempt a = FullAttempt(n);
            ASSERT_GT(history.Begin(a), 0);
            a.Outcome = n == 2 ? HistoryOutcome::NotConnected : HistoryOutcome::Completed;
            ASSERT_TRUE(history.Finish(a));
        }
    }
    TWriterProcess killed(dir.File(), {"--hang", "killed"});
    ASSERT_GT(killed.WaitForLine("begun ").toLongLong(), 0);
    killed.Kill();

    TScriptedDialogsScope dialogs;
    qputenv("KT4_HISTORY", dir.File().toUtf8());
    TfrmUpgrade window;
    window.show();
    ASSERT_TRUE(WaitFor([&] { return !window.KeskLink1->ResponseTimer()->Enabled(); }));

    QAction* item = HelpAction(window, "Upgrade History…");
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(window.mnuHelp->actions().indexOf(item), window.mnuHelp->actions().indexOf(window.mnuAbout) - 1);
    item->trigger();
    qunsetenv("KT4_HISTORY");
    auto* dialog = window.findChild<THistoryDialog*>("frmHistory");
    ASSERT_NE(dialog, nullptr);
    ASSERT_TRUE(WaitFor([&] { return dialog->isVisible(); }));
    THistoryModel* model = dialog->Model();
    ASSERT_EQ(model->rowCount(), 4);
    EXPECT_TRUE(dialog->lblHistory->text().contains(dir.File()));

    const struct {
        int Row;
        const char* Outcome;
        const char* Port;
        const char* Version;
    } rows[] = {
        {0, "unfinished", "/dev/writer-killed", "1.10"},
        {1, "not connected", "/dev/ttyUSB2", "1.12"},
        {2, "completed", "", "1.11"},
        {3, "completed", "/dev/ttyUSB0", "1.10"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.Row);
        EXPECT_EQ(Cell(model, r.Row, THistoryModel::colOutcome), r.Outcome);
        EXPECT_EQ(Cell(model, r.Row, THistoryModel::colPort), r.Port);
        EXPECT_EQ(Cell(model, r.Row, THistoryModel::colVersionBefore), r.Version);
        EXPECT_FALSE(model->flags(model->index(r.Row, 0)) & Qt::ItemIsEditable);
    }
    // Readable: captions, local times, the file's name; the writer's process hidden.
    EXPECT_EQ(model->headerData(THistoryModel::colStarted, Qt::Horizontal).toString(), "Started");
    EXPECT_EQ(model->headerData(THistoryModel::colImageFile, Qt::Horizontal).toString(), "Image file");
    EXPECT_EQ(Cell(model, 3, THistoryModel::colStarted),
              FullAttempt(0).Started.toLocalTime().toString("yyyy-MM-dd HH:mm:ss"));
    EXPECT_EQ(Cell(model, 3, THistoryModel::colImageFile), "kt4-2.00.bin");
    EXPECT_TRUE(dialog->grdHistory->isColumnHidden(THistoryModel::colWriterPid));
    EXPECT_FALSE(dialog->grdHistory->isColumnHidden(THistoryModel::colMessage));

    // A record made while it is open shows after Refresh; the menu item again
    // brings the same dialog back.
    {
        TUpgradeHistory history(dir.File());
        TUpgradeAttempt a = FullAttempt(9);
        ASSERT_GT(history.Begin(a), 0);
    }
    qputenv("KT4_HISTORY", dir.File().toUtf8());
    item->trigger();
    qunsetenv("KT4_HISTORY");
    EXPECT_EQ(window.findChildren<THistoryDialog*>().size(), 1);
    EXPECT_EQ(model->rowCount(), 5);
    dialog->close();
}

TEST(HistoryWindow, TheDialogSaysWhyThereIsNothingToShow)
{
    THistoryDir dir;
    const struct {
        const char* Name;
        QString Path;
        QString Says;
    } cases[] = {
        {"no file yet", dir.File(), "No upgrade has been recorded in " + dir.File()},
        {"no history kept", QString(), "No upgrade history is kept"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        THistoryDialog dialog(c.Path);
        dialog.show();
        EXPECT_EQ(dialog.Model()->rowCount(), 0);
        EXPECT_TRUE(dialog.lblHistory->text().contains(c.Says)) << dialog.lblHistory->text().toStdString();
    }
    EXPECT_FALSE(QFile::exists(dir.File()));
}

// Help > Upgrade History on a file that is not a history: one error that
// names it, no rows, no box, and the file left as it was.
TEST(HistoryWindow, HelpUpgradeHistoryOnAnotherFileNamesItAndLeavesIt)
{
    for (const bool database : {false, true}) {
        SCOPED_TRACE(database ? "another program's SQLite database" : "a text file");
        THistoryDir dir;
        QFile file(dir.File());
        if (database)
            Ask(dir.File(), "CREATE TABLE notes (line TEXT)");
        else if (file.open(QIODevice::WriteOnly))
            file.write("notes, not an upgrade history\n");
        file.close();
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        file.close();

        TScriptedDialogsScope dialogs;
        qputenv("KT4_HISTORY", dir.File().toUtf8());
        TfrmUpgrade window;
        HelpAction(window, "Upgrade History…")->trigger();
        qunsetenv("KT4_HISTORY");
        auto* dialog = window.findChild<THistoryDialog*>("frmHistory");
        ASSERT_NE(dialog, nullptr);
        const QString said = dialog->lblHistory->text();
        EXPECT_EQ(said.count(dir.File()), 1) << said.toStdString();
        EXPECT_TRUE(said.contains(database ? "is another program's database" : "is not an upgrade history"));
        EXPECT_EQ(dialog->Model()->rowCount(), 0);
        EXPECT_TRUE(dialogs->Records().isEmpty()) << dialogs->Texts().join("\n").toStdString();
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_TRUE(file.readAll() == bytes);
        EXPECT_EQ(dir.Entries("").join(" ").toStdString(), "history.sqlite");
    }
}
