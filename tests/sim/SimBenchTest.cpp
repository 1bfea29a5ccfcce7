// A bench of instruments in the simulated dock: kt4-sim as a process, its
// control and data ports talked to over loopback as the utility does.

#include "sim/SimDock.h"
#include "tests/sim/SimTestSupport.h"

#include <QFile>

#include <gtest/gtest.h>

namespace {

QByteArray flashPage(const QString& path, int page)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll().mid(page * 256, 256) : QByteArray();
}

} // namespace

// Each instrument is placed ("EVT4"), passed through on "SLV" ("EVT1"), answers
// as itself, is taken back on "DSC" ("EVT2") and removed a moment later ("EVT5").
TEST(SimBenchTest, InstrumentsArePlacedOneAfterTheOther)
{
    const QString dir = scratchDirectory();
    const struct {
        QByteArray version;
        QByteArray page100;  // the answer's word
    } rows[] = {{"1.10", "ACK"}, {"2.00", "ACK"}, {"1.10", "NAK"}};
    SimProcess sim({"--dock", "kelo6", "--address", "127.0.61.1", "--instruments", "3", "--insert-after-ms", "20",
                    "--remove-after-ms", "20", "--instrument-version", "2=2.00", "--fail-instrument", "3",
                    "--flash-out", dir + "/flash.bin"});
    ASSERT_EQ(sim.firstLine, "DOCK 127.0.61.1\n");
    LoopbackClient control("127.0.61.1", 5004);
    LoopbackClient data("127.0.61.1", 5005);
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i + 1);
        ASSERT_TRUE(control.write("SLV"));  // before or after the placing: passed through once both are
        QByteArray events = control.readUntil("EVT1");
        const qsizetype placed = events.count("EVT4");  // instrument 1 may be placed before the connection
        EXPECT_TRUE(placed == 1 || (i == 0 && placed == 0)) << events.data();
        EXPECT_EQ(events.replace("EVT4", ""), "ACKIEVT1");
        ASSERT_TRUE(data.write("VFL0"));
        EXPECT_EQ(data.read(8), "ACK0" + rows[i].version);
        ASSERT_TRUE(data.write(pageCommand('1', 99, QByteArray(256, 'a' + i))
                               + pageCommand('2', 100, QByteArray(256, 'A' + i))));
        EXPECT_EQ(data.read(12), QByteArray("ACK1\x00\x63", 6) + rows[i].page100 + QByteArray("2\x00\x64", 3));
        ASSERT_TRUE(control.write("DSC"));
        EXPECT_EQ(control.readUntil("EVT5"), "ACKEVT2EVT5");
    }
    EXPECT_EQ(sim.exitCode(true), 0);
    const QByteArray log = sim.process.readAllStandardError();
    EXPECT_TRUE(log.contains("instrument 2 placed (version 2.00)") && log.contains("instrument 3 removed")) << log.data();
    for (int i = 0; i < 3; ++i) {
        const QString flash = dir + QStringLiteral("/flash.bin.%1").arg(i + 1);
        EXPECT_EQ(flashPage(flash, 99), QByteArray(256, 'a' + i)) << i + 1;
        EXPECT_EQ(flashPage(flash, 100), rows[i].page100 == "ACK" ? QByteArray(256, 'A' + i) : QByteArray(256, '\xFF'));
    }
}

// What the dock raises as instruments come and go, whatever the order of
// "SLV" and the placing.
TEST(SimBenchTest, DockEventsFollowThePlacingAndTheSlaveRequest)
{
    const struct {
        QList<QByteArray> steps;  // "+" placed, "-" removed, else a dock command
        QByteArray out;
    } cases[] = {
        {{"SLV", "+", "DSC", "-"}, "ACKI|EVT4 EVT1|ACK EVT2|EVT5"},
        {{"+", "SLV", "-", "+"}, "EVT4|ACKI EVT1|EVT2 EVT5|EVT4 EVT1"},
        {{"SLV", "MST", "+", "SLV"}, "ACKI|ACKI|EVT4|ACKI EVT1"},
    };
    for (const auto& c : cases) {
        SimDockOptions options;
        options.kind = "kelo6";
        SimDockProtocol dock(options);
        dock.setPresent(false);
        QList<QByteArray> out;
        for (const QByteArray& step : c.steps) {
            out << (step == "+" || step == "-" ? dock.setPresent(step == "+") : dock.feed(step)).join(' ');
        }
        EXPECT_EQ(out.join('|'), c.out) << c.steps.join(' ').data();
    }
}
