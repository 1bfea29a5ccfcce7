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
TEST(Timer, EnablingDoesNotRestartButArmingDoes)
{
    TTimer timer;
    QElapsedTimer clock;
    qint64 firedAt = -1;
    timer.OnTimer = [&](QObject*) {
        firedAt = clock.elapsed();
        timer.SetEnabled(false);
    };
    timer.SetInterval(300);
    clock.start();
    timer.SetEnabled(true);
    WaitFor([] { return false; }, 150);
    timer.SetEnabled(true);  // no restart: still fires about 300 ms after the start
    ASSERT_TRUE(WaitFor([&] { return firedAt >= 0; }, 2000));
    EXPECT_LT(firedAt, 440);

    firedAt = -1;
    clock.restart();
    timer.Restart();
    WaitFor([] { return false; }, 150);
    timer.Restart();  // restart: fires about 300 ms after this point, 450 in all
    ASSERT_TRUE(WaitFor([&] { return firedAt >= 0; }, 2000));
    EXPECT_GE(firedAt, 440);
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
