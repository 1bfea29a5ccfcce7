// The KT4 Head Upgrade Utility: the main window, the debug window and the
// about box, for the whole run.

#include "app/uDebug.h"
#include "app/uFlash.h"
#include "controls/About.h"
#include "controls/JpegImage.h"
#include "platform/ErrorDisplay.h"
#include "platform/QtDialogs.h"

#include <QApplication>

int main(int argc, char** argv)
{
    TGuardedApplication<QApplication> app(argc, argv);
    QApplication::setApplicationName("KT4 Head Upgrade Utility");
    InitControlsResources();
    SetDialogService(std::make_unique<TQtDialogs>());

    // Created in this order; the first is the main window. The others are
    // freed first and the main window (with the link) last.
    auto* frmUpgrade = new TfrmUpgrade;
    auto* frmDebug = new TfrmDebug;
    auto* AboutBox = new TAboutBox;
    frmUpgrade->SetDebugWindow(frmDebug);
    frmUpgrade->SetAboutBox(AboutBox);
    // The dock option is hidden in the shipped window; a site with a dock shows
    // it with --show-dock (or KT4_SHOW_DOCK=1).
    if (QCoreApplication::arguments().contains("--show-dock") || qEnvironmentVariable("KT4_SHOW_DOCK") == "1")
        frmUpgrade->chkUseKelo6->setVisible(true);
    frmUpgrade->show();
    const int status = app.exec();
    delete AboutBox;
    delete frmDebug;
    delete frmUpgrade;
    return status;
}
