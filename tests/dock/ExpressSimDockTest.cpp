// One upgrade through each express dock kind: the head and the link over
// loopback to kt4-sim acting as that dock, a separate process on its own
// address.

#include "dock/KeloExpressDock.h"
#include "dock/MPKeloExpressDock.h"
#include "head/KT4Head.h"
#include "tests/TestSupport.h"
#include "tests/app/SimProcess.h"

#include <QFile>
#include <QTimer>
#include <gtest/gtest.h>

namespace {

QByteArray ReadFile(const QString& Path)
{
    QFile f(Path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

}  // namespace

TEST(ExpressSimDock, AnUpgradeThroughEachKindIsByteExact)
{
    TScriptedDialogsScope dialogs;
    const struct {
        const char* Kind;
        const char* Address;
        QStringList Options;
        int SlaveRequests;
    } rows[] = {
        {"express", "127.0.47.1", {"--busy", "2"}, 3},  // asked again while it is busy
        {"mp-express", "127.0.47.2", {}, 1},            // no busy state: asked once
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Kind);
        TSimProcess sim(QStringList{"--dock", row.Kind, "--address", row.Address} + row.Options, TSimProcess::InDock);
        const QString image = sim.MakeImage("1.20");
        TKeloExpressDock express;
        TMPKeloExpressDock mp;
        TKeskLink link;
        link.SetDock(row.Kind == QLatin1String("express") ? static_cast<TKeloDock*>(&express) : &mp);
        express.SetEthernetAddress(row.Address);
        mp.SetEthernetAddress(row.Address);
        TKT4Head head;
        head.SetKeskLink(&link);
        ASSERT_TRUE(WaitFor([&] { return !link.ResponseTimer()->Enabled(); })) << "the link's start-up step";
        ASSERT_TRUE(head.LoadFlashFile(image));

        bool offline = false;
        int programmed = -1;
        head.OnIsOnline = [&](QObject*, bool Online) {
            if (Online)
                QTimer::singleShot(0, [&] { head.SendFlash(); });
            else
                offline = true;
        };
        head.OnProgFlashSent = [&](QObject*, int Error) { programmed = Error; };
        head.Connect(true);
        ASSERT_TRUE(WaitFor([&] { return offline; }, 120000));
        EXPECT_EQ(programmed, 0);
        sim.Stop();
        EXPECT_EQ(sim.Flash().mid(FirstFlashAddress), ReadFile(image).mid(FirstFlashAddress));
        EXPECT_EQ(sim.Log().count("<- SLV"), row.SlaveRequests);
        EXPECT_TRUE(dialogs->Records().isEmpty());
    }
}
