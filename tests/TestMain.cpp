#include "platform/ErrorDisplay.h"

#include <QApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    // The tests' upgrades (and the programs they start) record nothing in the
    // user's own history unless a test names a file of its own.
    if (!qEnvironmentVariableIsSet("KT4_HISTORY"))
        qputenv("KT4_HISTORY", "");
    ::testing::InitGoogleTest(&argc, argv);
    TGuardedApplication<QApplication> app(argc, argv);
    return RUN_ALL_TESTS();
}
