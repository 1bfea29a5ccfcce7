#include "platform/ErrorDisplay.h"
#include "platform/MainThread.h"
#include "platform/Timer.h"
#include "tests/TestSupport.h"

#include <QThread>
#include <atomic>
#include <gtest/gtest.h>

TEST(MainThread, RunOnMainThreadAndWaitFromAWorker)
{
    std::atomic<bool> ranOnMain{false};
    std::atomic<bool> workerSawResult{false};
    QThread* worker = QThread::create([&] {
        RunOnMainThreadAndWait([&] { ranOnMain = IsMainThread(); });
        workerSawResult = ranOnMain.load();  // the call has run when we get here
    });
    worker->start();
    ASSERT_TRUE(WaitFor([&] { return worker->isFinished(); }));
    delete worker;
    EXPECT_TRUE(ranOnMain);
    EXPECT_TRUE(workerSawResult);
}

TEST(MainThread, RunOnMainThreadOnTheMainThreadRunsAtOnce)
{
    bool ran = false;
    RunOnMainThreadAndWait([&] { ran = true; });
    EXPECT_TRUE(ran);
}

TEST(MainThread, PostRunsAfterTheCurrentHandler)
{
    QStringList order;
    PostToMainThread([&] { order << "posted"; });
    order << "handler";
    ASSERT_TRUE(WaitFor([&] { return order.size() == 2; }));
    EXPECT_EQ(order, QStringList({"handler", "posted"}));
}

// An exception that escapes an event handler becomes an error box with its
// text; the event loop goes on.
TEST(ErrorDisplay, ExceptionFromAHandlerBecomesAnErrorBox)
{
    TScriptedDialogsScope dialogs;
    TTimer timer;
    int after = 0;
    timer.OnTimer = [&](QObject*) {
        timer.SetEnabled(false);
        throw EKT4Error("Port exploded");
    };
    timer.SetInterval(1);
    timer.Restart();
    PostToMainThread([] { throw std::runtime_error("second failure"); });
    ASSERT_TRUE(WaitFor([&] { return dialogs->Records().size() == 2; }));
    PostToMainThread([&] { ++after; });
    ASSERT_TRUE(WaitFor([&] { return after == 1; }));
    ASSERT_EQ(dialogs->Records().size(), 2);
    QStringList texts = dialogs->Texts();
    texts.sort();
    EXPECT_EQ(texts, QStringList({"Port exploded", "second failure"}));
    EXPECT_EQ(dialogs->Records()[0].Type, mtError);
    EXPECT_EQ(dialogs->Records()[0].Buttons, mbOK);
}
