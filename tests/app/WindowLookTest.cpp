// How the windows look to an operator: the main window's frame, the dock
// list's entries, where the debug window opens, the about box's system tab
// and the width of the message boxes. The real widgets, offscreen.

#include "app/uDebug.h"
#include "app/uFlash.h"
#include "controls/About.h"
#include "app/QtDialogs.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QMessageBox>
#include <QRegularExpression>
#include <QScreen>
#include <QTextBlock>
#include <QTextLayout>
#include <QTimer>
#include <gtest/gtest.h>

namespace {

// A window's frame as the placement reckons it: as told by the platform, or a
// title bar's worth around it while none is told.
QMargins MarginsOf(const QWidget& Widget)
{
    const QRect frame = Widget.frameGeometry(), inner = Widget.geometry();
    if (frame == inner)
        return QMargins(4, 28, 4, 4);
    return QMargins(inner.left() - frame.left(), inner.top() - frame.top(), frame.right() - inner.right(),
                    frame.bottom() - inner.bottom());
}

QRect FrameOf(const QWidget& Widget)
{
    return Widget.geometry().marginsAdded(MarginsOf(Widget));
}

// Where the debug window's frame goes: at its position, with the frame of the
// window it was placed beside.
QRect PlacedFrame(const QWidget& Debug, const QWidget& Beside)
{
    return QRect(Debug.pos(), Debug.size().grownBy(MarginsOf(Beside)));
}

}  // namespace

// A window of fixed size offers no maximise button: the window manager is
// asked for the minimise and close buttons only, and the size cannot change.
TEST(WindowLook, TheMainWindowIsOfFixedSizeWithoutMaximise)
{
    TfrmUpgrade window;
    window.show();
    const Qt::WindowFlags flags = window.windowFlags();
    EXPECT_TRUE(flags & Qt::CustomizeWindowHint) << "without it the window manager puts every button back";
    EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(flags & Qt::WindowMinimizeButtonHint);
    EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
    EXPECT_EQ(window.minimumSize(), window.maximumSize());
    EXPECT_EQ(window.lblEthernetDockList->text(), "Ethernet Available Docks List");
}

// Two docks whose entries differ only at the end of the address stay apart in
// the closed list however narrow it is; the open list shows them whole.
TEST(WindowLook, TheDockListKeepsTheAddressWhole)
{
    const QString first = "MP KeloExpress (Kelo6) 127.0.10.11";
    const QString second = "MP KeloExpress (Kelo6) 127.0.10.12";
    TfrmUpgrade window;
    window.chkUseKelo6->setVisible(true);
    window.cboDockList->setVisible(true);
    window.show();
    const QFontMetrics metrics = window.cboDockList->fontMetrics();
    const int whole = metrics.horizontalAdvance(first);
    for (const int width : {whole + 1, whole - 1, whole / 2, window.cboDockList->width() - 30,
                            metrics.horizontalAdvance(" 127.0.10.11") + 3 * metrics.horizontalAdvance(QChar(0x2026))}) {
        SCOPED_TRACE(width);
        const QString shown = DockListEntryShown(first, metrics, width);
        EXPECT_LE(metrics.horizontalAdvance(shown), width) << shown.toStdString();
        if (width > whole) {
            EXPECT_EQ(shown, first);
            continue;
        }
        EXPECT_TRUE(shown.endsWith(" 127.0.10.11")) << shown.toStdString();
        EXPECT_TRUE(shown.startsWith("MP")) << shown.toStdString();
        EXPECT_NE(shown, DockListEntryShown(second, metrics, width));
    }

    window.cboDockList->addItems({first, second});
    window.cboDockList->showPopup();
    QAbstractItemView* list = window.cboDockList->view();
    EXPECT_GE(list->width(), list->sizeHintForColumn(0)) << "the open list as wide as its longest entry";
    window.cboDockList->hidePopup();
}

// The debug window opens on the screen, beside the main window on the first
// side with room; once the operator has moved it, it opens where it was left.
TEST(WindowLook, TheDebugWindowOpensOnTheScreenBesideTheMainWindow)
{
    TfrmDebug debug;
    const QRect area = debug.screen()->availableGeometry();
    ASSERT_GE(area.width(), FrameOf(debug).width() + 200) << "a screen with room beside a small window";

    QWidget left;
    left.setGeometry(area.left() + 10, area.top() + 60, 100, 100);
    left.show();
    debug.PlaceBeside(&left);
    EXPECT_GT(PlacedFrame(debug, left).left(), FrameOf(left).right()) << "to the right of a window at the left edge";
    EXPECT_EQ(PlacedFrame(debug, left).top(), FrameOf(left).top()) << "the two title bars level";
    EXPECT_TRUE(area.contains(PlacedFrame(debug, left)));

    QWidget right;
    right.setGeometry(area.right() - 110, area.top() + 60, 100, 100);
    right.show();
    debug.PlaceBeside(&right);
    EXPECT_LT(PlacedFrame(debug, right).right(), FrameOf(right).left()) << "to the left of a window at the right edge";
    EXPECT_TRUE(area.contains(PlacedFrame(debug, right)));

    // The real main window in the middle of the screen: no side may have
    // room, but the whole debug window is on the screen.
    TfrmUpgrade window;
    window.SetDebugWindow(&debug);
    window.show();
    debug.hide();
    TfrmDebug fresh;
    window.SetDebugWindow(&fresh);
    window.mnuDebugWindow->trigger();
    EXPECT_TRUE(fresh.isVisible());
    EXPECT_TRUE(area.contains(PlacedFrame(fresh, window))) << "at " << fresh.x() << "," << fresh.y();

    const QPoint moved = fresh.pos() + QPoint(-3, 5);
    fresh.move(moved);
    fresh.hide();
    window.mnuDebugWindow->trigger();
    EXPECT_EQ(fresh.pos(), moved) << "where the operator left it";
    window.SetDebugWindow(nullptr);
}

// The system tab shows each line whole on one line, the values one under
// another whatever the font.
TEST(WindowLook, TheSystemTabLinesItsValuesUp)
{
    TAboutBox box;
    box.show();
    box.PageControl1->setCurrentWidget(box.tbsSystemInfo);
    box.memSysInfo->grab();  // laid out as painted
    static const QRegularExpression padding("\\S(  +)\\S");
    QList<qreal> valueStarts;
    for (QTextBlock block = box.memSysInfo->document()->begin(); block.isValid(); block = block.next()) {
        const QRegularExpressionMatch m = padding.match(block.text());
        if (!m.hasMatch())
            continue;
        ASSERT_NE(block.layout(), nullptr);
        EXPECT_EQ(block.layout()->lineCount(), 1) << "wrapped: " << block.text().toStdString();
        valueStarts << block.layout()->lineAt(0).cursorToX(m.capturedEnd(1));
    }
    ASSERT_EQ(valueStarts.size(), 4) << "OS, OS Version, Computer Name, User Name";
    for (const qreal x : valueStarts)
        EXPECT_NEAR(x, valueStarts.first(), 1.0);
    EXPECT_GT(valueStarts.first(), 0);
}

// A box with a short text is still wide enough for its title and the title
// bar's buttons.
TEST(WindowLook, AMessageBoxIsWideEnoughForItsTitle)
{
    std::unique_ptr<TDialogService> previous = SetDialogService(std::make_unique<TQtDialogs>());
    int width = 0;
    int titleWidth = 0;
    QTimer operatorHand;
    QObject::connect(&operatorHand, &QTimer::timeout, [&] {
        for (QWidget* top : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(top);
            if (!box || !box->isVisible())
                continue;
            width = box->width();
            QFont bold = box->font();
            bold.setBold(true);
            titleWidth = QFontMetrics(bold).horizontalAdvance(box->windowTitle());
            box->button(QMessageBox::Ok)->click();
        }
    });
    operatorHand.start(10);
    Dialogs().MessageDlg("OK", mtInformation, mbOK);
    SetDialogService(std::move(previous));
    EXPECT_GT(titleWidth, 0);
    EXPECT_GE(width, titleWidth + 100);
    EXPECT_GE(width, 280);
}
