#include "platform/Dialogs.h"
#include "app/QtDialogs.h"
#include "tests/TestSupport.h"

#include <QApplication>
#include <QAbstractButton>
#include <QMessageBox>
#include <QTimer>
#include <cstdio>
#include <gtest/gtest.h>

TEST(ScriptedDialogs, RecordsEveryBoxAndAnswersFromTheQueue)
{
    TScriptedDialogs d;
    d.QueueAnswer(mrCancel);
    EXPECT_EQ(d.MessageDlg("erase?", mtWarning, mbOKCancel), mrCancel);
    EXPECT_EQ(d.MessageDlg("again?", mtConfirmation, mbYesNo), mrYes);  // empty queue: default
    d.ShowMessage("plain");
    d.QueueFile(QString("/tmp/a.bin"));
    EXPECT_EQ(d.OpenFile("Binary File|*.bin"), QString("/tmp/a.bin"));
    EXPECT_FALSE(d.OpenFile("Binary File|*.bin").has_value());
    d.QueuePort(12);
    EXPECT_EQ(d.SelectComPort({3, 12}), 12);
    EXPECT_EQ(d.SelectComPort({3, 12}), 0);

    EXPECT_EQ(d.Texts(), QStringList({"erase?", "again?", "plain"}));
    ASSERT_EQ(d.Records().size(), 7);
    EXPECT_EQ(d.Records()[0].Type, mtWarning);
    EXPECT_EQ(d.Records()[0].Buttons, mbOKCancel);
    EXPECT_EQ(d.Records()[2].Type, mtCustom);
    EXPECT_EQ(d.Records()[2].Buttons, mbOK);
    EXPECT_EQ(d.Records()[3].Kind, TDialogKind::FileOpen);
    EXPECT_EQ(d.Records()[3].Text, "Binary File|*.bin");
    EXPECT_EQ(d.Records()[5].Text, "COM3,COM12");
}

namespace {
// Runs the console back end on a scripted terminal.
struct TConsoleRun {
    explicit TConsoleRun(const char* typed)
    {
        in = fmemopen(const_cast<char*>(typed), std::strlen(typed), "r");
        out = open_memstream(&outText, &outSize);
    }
    ~TConsoleRun()
    {
        std::fclose(in);
        std::fclose(out);
        std::free(outText);
    }
    QString Printed()
    {
        std::fflush(out);
        return QString::fromLocal8Bit(outText, static_cast<qsizetype>(outSize));
    }
    FILE* in;
    FILE* out;
    char* outText = nullptr;
    size_t outSize = 0;
};
}  // namespace

TEST(ConsoleDialogs, AsksUntilAnOfferedButtonIsTyped)
{
    TConsoleRun run("maybe\nn\n");
    TConsoleDialogs d(false, run.in, run.out);
    EXPECT_EQ(d.MessageDlg("Upgrade To Version 1.20", mtConfirmation, mbYesNo), mrNo);
    EXPECT_TRUE(run.Printed().contains("[Confirm] Upgrade To Version 1.20"));
}

TEST(ConsoleDialogs, EndOfInputRefusesAndAssumeYesAccepts)
{
    TConsoleRun run("");
    TConsoleDialogs asking(false, run.in, run.out);
    EXPECT_EQ(asking.MessageDlg("erase?", mtWarning, mbOKCancel), mrCancel);
    EXPECT_EQ(asking.MessageDlg("older?", mtConfirmation, mbYesNo), mrNo);
    EXPECT_EQ(asking.MessageDlg("info", mtInformation, mbOK), mrOk);

    TConsoleDialogs yes(true, run.in, run.out);
    EXPECT_EQ(yes.MessageDlg("erase?", mtWarning, mbOKCancel), mrOk);
    EXPECT_EQ(yes.MessageDlg("older?", mtConfirmation, mbYesNo), mrYes);
    yes.SetPresetFile("/tmp/image.bin");
    EXPECT_EQ(yes.OpenFile("Binary File|*.bin"), QString("/tmp/image.bin"));
}

TEST(QtDialogs, FilterAndButtonsOfARealBox)
{
    EXPECT_EQ(QtFileFilter("Binary File|*.bin"), "Binary File (*.bin)");
    EXPECT_EQ(QtFileFilter("A|*.a|B|*.b;*.c"), "A (*.a);;B (*.b *.c)");

    TQtDialogs d;
    QString seenText;
    int seenButtons = 0;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        seenText = box->text();
        seenButtons = box->buttons().size();
        box->button(QMessageBox::Cancel)->click();
    });
    EXPECT_EQ(d.MessageDlg("This operation will erase", mtWarning, mbOKCancel), mrCancel);
    EXPECT_EQ(seenText, "This operation will erase");
    EXPECT_EQ(seenButtons, 2);
}
