// kt4-window-shot: screenshots of the real windows on a real X display (Xvfb),
// for people to look at.
//
//   kt4-window-shot upgrade OUTDIR IMAGE   an upgrade against the instrument
//                                          named by KT4_IRCOMM or KT4_IRDA_SIM
//   kt4-window-shot about OUTDIR           the about box, both tabs
//
// The windows are the program's own with the Qt dialogs; a stand-in operator
// answers each box as it comes up (OK, Yes, the image in the file dialog) and
// the whole screen is grabbed at the moments worth seeing: the idle window, the
// upload under way, the "Flash Upload Completed" box and the window after it.

#include "app/uDebug.h"
#include "app/uFlash.h"
#include "controls/About.h"
#include "controls/Gauges.h"
#include "controls/JpegImage.h"
#include "platform/ErrorDisplay.h"
#include "app/QtDialogs.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <cstdio>

namespace {

constexpr int OperatorTickMs = 150;
constexpr int GiveUpMs = 120000;

class TShots {
public:
    explicit TShots(const QString& Dir) : FDir(Dir) { QDir().mkpath(Dir); }
    void Take(const QString& Name)
    {
        const QString path = FDir.filePath(Name + ".png");
        const bool saved = QGuiApplication::primaryScreen()->grabWindow(0).save(path);
        std::printf("%s %s\n", saved ? "saved" : "could not save", qPrintable(path));
    }

private:
    QDir FDir;
};

// Answers a box the way an operator going ahead would.
void Answer(QMessageBox* Box)
{
    for (QAbstractButton* button : Box->buttons()) {
        const auto role = Box->buttonRole(button);
        if (role == QMessageBox::AcceptRole || role == QMessageBox::YesRole) {
            button->click();
            return;
        }
    }
}

// Picks Image in the file dialog. The dialog ignores selectFile() while its
// name field has the focus (as it has on a display without a window manager):
// the name is typed.
void ChooseFile(QFileDialog* Files, const QString& Image)
{
    if (auto* name = Files->findChild<QLineEdit*>("fileNameEdit"))
        name->setText(Image);
    else
        Files->selectFile(Image);
    static_cast<QDialog*>(Files)->accept();
}

int ShootUpgrade(const QString& Dir, const QString& Image)
{
    TShots shots(Dir);
    auto* frmUpgrade = new TfrmUpgrade;
    auto* frmDebug = new TfrmDebug;
    frmUpgrade->SetDebugWindow(frmDebug);
    frmUpgrade->show();

    enum { Idle, Running, Completed, Done } stage = Idle;
    int ticks = 0;
    bool uploadingShot = false;
    QTimer operatorHand;
    QObject::connect(&operatorHand, &QTimer::timeout, [&] {
        ++ticks;
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* files = qobject_cast<QFileDialog*>(modal)) {
            ChooseFile(files, Image);
        } else if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            if (box->text() == "Flash Upload Completed" && stage == Running) {
                shots.Take("3-upload-completed");
                stage = Completed;
            }
            Answer(box);
        } else if (stage == Idle && ticks == 2) {
            // As the operator opens it: the pop-up menu's "Debug Window",
            // once the main window is on the screen with its frame.
            frmUpgrade->mnuDebugWindow->trigger();
        } else if (stage == Idle && ticks == 4) {
            shots.Take("1-idle");
            // Not from inside this handler: the boxes that follow run their
            // own loops, in which this timer must keep firing.
            QTimer::singleShot(0, frmUpgrade->cbStart, &QPushButton::click);
            stage = Running;
        } else if (stage == Running && !uploadingShot && frmUpgrade->gauProgress->Progress() >= 200) {
            shots.Take("2-uploading");
            uploadingShot = true;
        } else if (stage == Completed && !modal) {
            shots.Take("4-after-upload");
            stage = Done;
            QApplication::quit();
        }
    });
    operatorHand.start(OperatorTickMs);
    QTimer::singleShot(GiveUpMs, [] { QApplication::exit(1); });
    const int status = QApplication::exec();
    delete frmDebug;
    delete frmUpgrade;
    return stage == Done ? status : 1;
}

// The dock option shown: "Use Dock" ticked (no dock on the USB bus), the dock
// chosen from the search's list (KT4_SHOT_DOCKS docks in it, the one at
// KT4_SHOT_DOCK_ADDRESS holding the instrument), then an upgrade through it.
int ShootDock(const QString& Dir, const QString& Image)
{
    const int ExpectedDocks = qMax(1, qEnvironmentVariableIntValue("KT4_SHOT_DOCKS"));
    const QString DockAddress = qEnvironmentVariable("KT4_SHOT_DOCK_ADDRESS", "127.0.0.42");
    TShots shots(Dir);
    auto* frmUpgrade = new TfrmUpgrade;
    frmUpgrade->chkUseKelo6->setVisible(true);
    frmUpgrade->show();
    enum { Idle, Searching, ListOpen, Chosen, Running, Completed, Done } stage = Idle;
    int ticks = 0;
    bool uploadingShot = false;
    QTimer operatorHand;
    QObject::connect(&operatorHand, &QTimer::timeout, [&] {
        ++ticks;
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* files = qobject_cast<QFileDialog*>(modal)) {
            ChooseFile(files, Image);
        } else if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            if (box->text() == "Flash Upload Completed")
                stage = Completed;
            Answer(box);
        } else if (stage == Idle && ticks == 3) {
            stage = Searching;
            QTimer::singleShot(0, frmUpgrade->chkUseKelo6, &QCheckBox::click);
        } else if (stage == Searching && frmUpgrade->cboDockList->count() >= ExpectedDocks) {
            // The list open, as the operator sees it before choosing.
            frmUpgrade->cboDockList->showPopup();
            stage = ListOpen;
        } else if (stage == ListOpen) {
            shots.Take("7-dock-list-open");
            frmUpgrade->cboDockList->hidePopup();
            const int ours = frmUpgrade->cboDockList->findText(DockAddress, Qt::MatchEndsWith);
            frmUpgrade->cboDockList->setCurrentIndex(qMax(0, ours));
            frmUpgrade->cboDockListChange();
            stage = Chosen;
        } else if (stage == Chosen) {
            shots.Take("7-dock-chosen");  // the closed list: the dock's whole address
            QTimer::singleShot(0, frmUpgrade->cbStart, &QPushButton::click);
            stage = Running;
        } else if (stage == Running && !uploadingShot && frmUpgrade->gauProgress->Progress() >= 200) {
            shots.Take("8-dock-uploading");
            uploadingShot = true;
        } else if (stage == Completed && !modal) {
            stage = Done;
            frmUpgrade->close();  // hands the dock back
            QApplication::quit();
        }
    });
    operatorHand.start(OperatorTickMs);
    QTimer::singleShot(GiveUpMs, [] { QApplication::exit(1); });
    const int status = QApplication::exec();
    delete frmUpgrade;
    return stage == Done ? status : 1;
}

int ShootAbout(const QString& Dir)
{
    TShots shots(Dir);
    TfrmUpgrade frmUpgrade;
    TAboutBox about;
    frmUpgrade.SetAboutBox(&about);
    frmUpgrade.show();
    frmUpgrade.mnuAbout->trigger();
    int ticks = 0;
    QTimer operatorHand;
    QObject::connect(&operatorHand, &QTimer::timeout, [&] {
        switch (++ticks) {
        case 3:
            shots.Take("5-about-software");
            about.PageControl1->setCurrentWidget(about.tbsSystemInfo);
            break;
        case 5:
            shots.Take("6-about-system");
            about.OKButton->click();
            break;
        case 7:
            QApplication::exit(about.isVisible() ? 1 : 0);
            break;
        }
    });
    operatorHand.start(OperatorTickMs);
    return QApplication::exec();
}

}  // namespace

int main(int argc, char** argv)
{
    TGuardedApplication<QApplication> app(argc, argv);
    QApplication::setApplicationName("KT4 Head Upgrade Utility");
    InitControlsResources();
    SetDialogService(std::make_unique<TQtDialogs>());
    const QStringList args = QApplication::arguments();
    if (args.size() == 4 && args[1] == "upgrade")
        return ShootUpgrade(args[2], args[3]);
    if (args.size() == 4 && args[1] == "dock")
        return ShootDock(args[2], args[3]);
    if (args.size() == 3 && args[1] == "about")
        return ShootAbout(args[2]);
    std::fprintf(stderr, "usage: kt4-window-shot upgrade OUTDIR IMAGE | dock OUTDIR IMAGE | about OUTDIR\n");
    return 2;
}
