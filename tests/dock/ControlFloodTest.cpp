// A dock that floods its control connection, against kt4-flash as a process
// and kt4-sim as the dock: the upload goes on beside the flood, and Ctrl-C
// still ends the run as Stop does. (How soon is kt4-parse-bench's to say.)

#include "tests/app/SimProcess.h"

#include <QProcess>
#include <csignal>
#include <gtest/gtest.h>

TEST(ControlFlood, TheUploadGoesOnAndCtrlCStillEndsTheRun)
{
    const struct {
        const char* Flood;
        const char* Address;
    } rows[] = {
        {"NAK", "127.0.33.1"},   // every command refused, again and again
        {"EVT0", "127.0.33.2"},  // the pump's low flow, without end: the answers queue behind it
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Flood);
        // The instrument falls silent after page 100: the upload is under way when Ctrl-C comes.
        TSimProcess sim({"--address", row.Address, "--flood-control", row.Flood, "--silent-after", "100"},
                        TSimProcess::InDock);
        QProcess flash;
        flash.start(KT4_FLASH_PATH, {sim.MakeImage(), "--dock", sim.DockAddress(), "-y", "--no-history"});
        flash.closeWriteChannel();
        QByteArray out;
        while (!out.contains("Page 32/446") && flash.state() != QProcess::NotRunning) {
            flash.waitForReadyRead(1000);
            out += flash.readAllStandardOutput();
        }
        ASSERT_TRUE(out.contains("Page 32/446")) << out.toStdString();
        ::kill(pid_t(flash.processId()), SIGINT);
        flash.waitForFinished(-1);
        const QByteArray err = flash.readAllStandardError();
        EXPECT_EQ(flash.exitCode(), 130) << err.toStdString();
        EXPECT_TRUE(err.contains("kt4-flash: SIGINT: the upgrade is stopped; the dock is handed back")) << err.toStdString();
        sim.Stop();
        EXPECT_TRUE(sim.Log().contains("flooding the control connection"));
    }
}
