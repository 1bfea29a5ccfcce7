#include "platform/ErrorDisplay.h"
#include "platform/Timer.h"
#include "tests/TestSupport.h"

#include <QCoreApplication>
#include <gtest/gtest.h>
#include <stdexcept>

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
    QMetaObject::invokeMethod(qApp, [] { throw std::runtime_error("second failure"); }, Qt::QueuedConnection);
    ASSERT_TRUE(WaitFor([&] { return dialogs->Records().size() == 2; }));
    QMetaObject::invokeMethod(qApp, [&] { ++after; }, Qt::QueuedConnection);
    ASSERT_TRUE(WaitFor([&] { return after == 1; }));
    ASSERT_EQ(dialogs->Records().size(), 2);
    QStringList texts = dialogs->Texts();
    texts.sort();
    EXPECT_EQ(texts, QStringList({"Port exploded", "second failure"}));
    EXPECT_EQ(dialogs->Records()[0].Type, mtError);
    EXPECT_EQ(dialogs->Records()[0].Buttons, mbOK);
}
