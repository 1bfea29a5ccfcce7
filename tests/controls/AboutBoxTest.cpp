// The about box on the offscreen platform, filled from this test program's own
// version block ("Controls Tests", FileVersion 3.2) and from this system.

#include "controls/About.h"

#include <QApplication>
#include <QDateTime>
#include <QFileInfo>
#include <QLocale>
#include <gtest/gtest.h>

namespace {

struct AboutBox : ::testing::Test {
    void TearDown() override { QLocale::setDefault(QLocale::system()); }
};

}  // namespace

TEST_F(AboutBox, ShowingFillsTheSoftwareTabFromTheProgramsVersionBlock)
{
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    TAboutBox box;
    EXPECT_EQ(box.size(), QSize(498, 326));
    EXPECT_EQ(box.minimumSize(), box.maximumSize());
    box.show();
    EXPECT_FALSE(box.isModal());
    EXPECT_EQ(box.windowTitle(), "About Corvnae Controls Tests");
    EXPECT_EQ(box.lblProductName->text(), "Controls Tests");
    EXPECT_EQ(box.PageControl1->tabText(0), "Controls Tests");
    EXPECT_EQ(box.PageControl1->tabText(1), "System");
    EXPECT_EQ(box.lblVersion->text(), "3.2.2.2");
    EXPECT_EQ(box.lblCopyright->text(), "Copyright (C) 2026 Test Maker Ltd");
    EXPECT_EQ(box.lblComments->text(), QString::fromUtf8("Grüße, \"quoted\" and back\\slashed."));
    EXPECT_EQ(box.lblExeDateTime->text(),
              ExeDateTimeText(QFileInfo(QCoreApplication::applicationFilePath()).lastModified(), QLocale()));
    EXPECT_EQ(box.PageControl1->currentWidget(), box.tbsExeInfo);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);  // the hourglass is gone again

    // Each showing makes the software tab the active one again.
    box.PageControl1->setCurrentWidget(box.tbsSystemInfo);
    box.hide();
    box.show();
    EXPECT_EQ(box.PageControl1->currentWidget(), box.tbsExeInfo);

    // The link labels: navy, a hand cursor, the kind of site before its address.
    for (QLabel* link : {box.lblUpdateWebsite, box.lblCompWebsite, box.lblCorpWebsite}) {
        EXPECT_EQ(link->cursor().shape(), Qt::PointingHandCursor);
        EXPECT_EQ(link->palette().color(QPalette::WindowText), QColor("navy")) << link->objectName().toStdString();
    }
    EXPECT_TRUE(box.lblUpdateWebsite->text().startsWith("Product Updates: "));
    EXPECT_TRUE(box.lblCompWebsite->text().startsWith("Company: "));
    EXPECT_TRUE(box.lblCorpWebsite->text().startsWith("Corporate: "));
}

TEST_F(AboutBox, TheVersionIsJoinedWithTheLocalesDecimalSeparator)
{
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    TAboutBox box;
    box.show();
    EXPECT_EQ(box.lblVersion->text(), "3,2,2,2");
}

TEST_F(AboutBox, TheSystemTabHasItsFiveLinesPaddedToTheirWidths)
{
    TAboutBox box;
    box.show();
    TTarnSysInfo& info = *box.TarnSysInfo1;
    const QString version = QString("%1.%2.%3").arg(info.OSMajor()).arg(info.OSMinor()).arg(info.OSBuild());
    const QStringList lines = box.memSysInfo->toPlainText().split('\n');
    ASSERT_EQ(lines.size(), 5);
    EXPECT_EQ(lines[0], "OS" + QString(26, ' ') + " " + info.OSDescription());
    EXPECT_EQ(lines[1], "OS Version" + QString(13, ' ') + " " + version);
    EXPECT_EQ(lines[2], " ");
    EXPECT_EQ(lines[3], "Computer Name" + QString(5, ' ') + " " + info.ComputerName());
    EXPECT_EQ(lines[4], "User Name" + QString(13, ' ') + " " + info.UserName());
    EXPECT_FALSE(info.OSDescription().isEmpty());
    EXPECT_GT(info.OSMajor(), 0);

    // Shown again, the memo is refilled, not added to.
    box.hide();
    box.show();
    EXPECT_EQ(box.memSysInfo->toPlainText().split('\n').size(), 5);
}

TEST(AboutBoxTexts, TheFileTimeLeavesOutAnExactMidnight)
{
    const QLocale english(QLocale::English, QLocale::UnitedStates);
    const QDateTime afternoon(QDate(2026, 12, 1), QTime(14, 5, 9), Qt::LocalTime);
    EXPECT_EQ(ExeDateTimeText(afternoon, english),
              english.toString(afternoon.date(), QLocale::ShortFormat) + " " +
                  english.toString(afternoon.time(), QLocale::LongFormat));
    const QDateTime midnight(QDate(2026, 12, 1), QTime(0, 0), Qt::LocalTime);
    EXPECT_EQ(ExeDateTimeText(midnight, english), "12/1/26");
    const QDateTime justAfter(QDate(2026, 12, 1), QTime(0, 0, 1), Qt::LocalTime);
    EXPECT_NE(ExeDateTimeText(justAfter, english), "12/1/26");
}
