// The recorder against a history that another program holds: records wait,
// in order, and land once the file is free; nothing is told meanwhile.

#include "history/HistoryRecorder.h"
#include "tests/TestSupport.h"
#include "tests/history/HistoryTestSupport.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <gtest/gtest.h>
#include <memory>

TEST(HistoryRecorder, RecordsWaitForAHeldFileInOrderAndLandOnceItIsFree)
{
    THistoryDir dir;
    QDateTime stamped;
    {
        TUpgradeHistory history(dir.File());
        TUpgradeAttempt earlier = FullAttempt(0);
        ASSERT_GT(history.Begin(earlier), 0);
    }
    {
        QSqlDatabase locker = QSqlDatabase::addDatabase("QSQLITE", "recorder-locker");
        locker.setDatabaseName(dir.File());
        ASSERT_TRUE(locker.open());
        QSqlQuery lock(locker);
        ASSERT_TRUE(lock.exec("BEGIN EXCLUSIVE"));

        auto owned = std::make_unique<THistoryRecorder>(dir.File());  // on the heap, as the session has it
        THistoryRecorder& recorder = *owned;
        QStringList problems;
        bool idle = false;
        recorder.OnProblem = [&](int, const QString& Text) { problems << Text; };
        recorder.OnIdle = [&] { idle = true; };
        TUpgradeAttempt first = FullAttempt(1), second = FullAttempt(2);
        first.Started = {};
        first.Host.clear();
        EXPECT_EQ(recorder.Begin(first), 1);
        stamped = first.Started;  // filled in as it was handed over
        for (int pages : {64, 128, 192}) {
            first.PagesSent = pages;
            recorder.Update(first);
        }
        first.Outcome = HistoryOutcome::Completed;
        recorder.Finish(first);
        EXPECT_EQ(recorder.Begin(second), 2);
        second.Outcome = HistoryOutcome::Failed;
        recorder.Finish(second);

        EXPECT_FALSE(recorder.Flush(0));
        EXPECT_EQ(TUpgradeHistory(dir.File()).Records().size(), 1);  // readers still read
        lock.exec("ROLLBACK");
        locker.close();
        EXPECT_TRUE(recorder.Flush(-1));
        EXPECT_TRUE(WaitFor([&] { return idle; }));
        EXPECT_TRUE(problems.isEmpty()) << problems.join("\n").toStdString();
    }
    QSqlDatabase::removeDatabase("recorder-locker");

    // Newest first: the one begun now, then the two that began in 2021.
    const QList<TUpgradeAttempt> rows = TUpgradeHistory(dir.File()).Records();
    ASSERT_EQ(rows.size(), 3);
    EXPECT_EQ(rows[0].Outcome, HistoryOutcome::Completed);
    EXPECT_EQ(rows[0].PagesSent, 192);
    EXPECT_EQ(rows[0].Started, stamped);  // when it was handed over, not when it was written
    EXPECT_FALSE(rows[0].Host.isEmpty() || !rows[0].Ended.isValid());
    EXPECT_EQ(rows[1].Outcome, HistoryOutcome::Failed);
    EXPECT_TRUE(rows[2].Id < rows[0].Id && rows[0].Id < rows[1].Id);  // written in the order handed over
}
