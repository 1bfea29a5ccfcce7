#include "platform/Timer.h"
#include "tests/TestSupport.h"

#include <QElapsedTimer>
#include <gtest/gtest.h>

TEST(Timer, IntervalZeroNeverFires)
{
    TTimer timer;
    int fired = 0;
    timer.OnTimer = [&](QObject*) { ++fired; };
    timer.SetInterval(0);
    timer.Restart();
    EXPECT_TRUE(timer.Enabled());
    EXPECT_FALSE(timer.Running());
    WaitFor([] { return false; }, 50);
    EXPECT_EQ(fired, 0);
}

TEST(Timer, IsPeriodicUntilDisabled)
{
    TTimer timer;
    int fired = 0;
    timer.OnTimer = [&](QObject* sender) {
        EXPECT_EQ(sender, &timer);
        if (++fired == 3)
            timer.SetEnabled(false);
    };
    timer.SetInterval(5);
    timer.SetEnabled(true);
    ASSERT_TRUE(WaitFor([&] { return fired == 3; }, 2000));
    WaitFor([] { return false; }, 40);
    EXPECT_EQ(fired, 3);
    EXPECT_FALSE(timer.Enabled());
}

// Enabling a running timer keeps its phase; arming starts it again from zero.
// Told by the time left to the expiry, which only a restart makes longer.
TEST(Timer, EnablingDoesNotRestartButArmingDoes)
{
    TTimer timer;
    timer.SetInterval(300000);
    timer.SetEnabled(true);
    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(WaitFor([&] { return clock.elapsed() >= 20; }));  // some of the interval has passed
    const int before = timer.RemainingMs();
    timer.SetEnabled(true);
    EXPECT_LE(timer.RemainingMs(), before) << "enabling a running timer does not restart it";
    ASSERT_TRUE(WaitFor([&] { return clock.elapsed() >= 40; }));
    const int again = timer.RemainingMs();
    timer.Restart();
    EXPECT_GT(timer.RemainingMs(), again) << "arming starts it from zero";

    int fired = 0;
    timer.OnTimer = [&](QObject*) { ++fired; timer.SetEnabled(false); };
    timer.SetInterval(30);
    timer.Restart();
    ASSERT_TRUE(WaitFor([&] { return fired == 1; }));
}

TEST(Timer, FireRunsTheHandlerAsAnExpiryWould)
{
    TTimer timer;
    int fired = 0;
    timer.OnTimer = [&](QObject*) { ++fired; };
    timer.SetInterval(10000);
    timer.Restart();
    timer.Fire();
    EXPECT_EQ(fired, 1);
    EXPECT_TRUE(timer.Enabled());
}
