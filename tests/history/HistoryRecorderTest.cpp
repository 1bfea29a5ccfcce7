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
        EXPECT_TRUE(first.Started.isValid() && !first.Host.isEmpty());  // filled in as it was handed over
        stamped = first.Started;
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

    const QList<TUpgradeAttempt> rows = TUpgradeHistory(dir.File()).Records();
    ASSERT_EQ(rows.size(), 3);
    const auto row = [&rows](int Number) {
        for (const TUpgradeAttempt& r : rows)
            if (r.Message == FullAttempt(Number).Message)
                return r;
        return TUpgradeAttempt();
    };
    EXPECT_EQ(row(1).Outcome, HistoryOutcome::Completed);
    EXPECT_EQ(row(1).PagesSent, 192);
    EXPECT_EQ(row(1).Started, stamped);  // when it was handed over, not when it was written
    EXPECT_FALSE(row(1).Host.isEmpty());
    EXPECT_TRUE(row(1).Ended.isValid());
    EXPECT_EQ(row(2).Outcome, HistoryOutcome::Failed);
    EXPECT_LT(row(0).Id, row(1).Id);
    EXPECT_LT(row(1).Id, row(2).Id);  // written in the order handed over
}
