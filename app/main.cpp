// The KT4 Head Upgrade Utility: the main window, the debug window and the
// about box, for the whole run.

#include "app/uDebug.h"
#include "app/uFlash.h"
#include "controls/About.h"
#include "controls/JpegImage.h"
#include "platform/ErrorDisplay.h"
#include "app/QtDialogs.h"

#include <QApplication>
#include <cstdio>
#include <cstring>

namespace {

const char* const Help = R"(Usage: kt4-upgrade [--show-dock] [Qt options]
The KT4 Head Upgrade Utility: the window with which an operator loads new
firmware into a KT4 head (ZRA and ZRN editions). Press Start, confirm the
boxes, pick the flash image file (131072 bytes) and watch the pages go.

Options:
  --show-dock     Show the "Use Dock" option: upgrade through a docking
                  station on the USB bus or on the network.
  -h, --help      Show this help, then end (no window, no display needed).
  -V, --version   Show the program's version, then end.
  Qt's own options (-platform NAME, -display DISPLAY, -style NAME, ...) are
  taken as every Qt program takes them.

Environment:
  KT4_IRCOMM=COM6|DEVICE   the infrared adapter's port (a COM name or a
                           device path such as /dev/ttyUSB0)
  KT4_COM<n>=DEVICE        the device of COM port n (otherwise COM1-16 are
                           /dev/ttyS0-15, COM17-32 /dev/ttyUSB0-15, COM33-48
                           /dev/ttyACM0-15, COM49-50 /dev/rfcomm0-1)
  KT4_IRDA_SIM=PATH        a simulated IrDA stack served by kt4-sim --irda PATH
  KT4_SHOW_DOCK=1          as --show-dock
  KT4_USB_KELO6=vvvv:pppp[,vvvv:pppp]
                           the USB IDs of the docks on the USB bus
  KT4_USB_SIM=DIR          a simulated USB bus served by kt4-sim --usb DIR
  KT4_DOCK_BROADCAST=ADDR  where the dock search sends its enquiry (default
                           255.255.255.255)

The same upgrade from a terminal, for one instrument or a shelf of them:
kt4-flash (see kt4-flash --help).
)";

// --help and --version are answered on the terminal before any window (or
// display) is needed; true when one was, with *Status the exit status.
bool AnsweredOnTerminal(int argc, char** argv, int* Status)
{
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--") == 0)
            break;
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            std::fputs(Help, stdout);
            *Status = std::fflush(stdout) == 0 ? 0 : 1;
            return true;
        }
        if (std::strcmp(arg, "--version") == 0 || std::strcmp(arg, "-V") == 0) {
            std::printf("kt4-upgrade %s\n", KT4_VERSION);
            *Status = std::fflush(stdout) == 0 ? 0 : 1;
            return true;
        }
    }
    return false;
}

}  // namespace

int main(int argc, char** argv)
{
    int status = 0;
    if (AnsweredOnTerminal(argc, argv, &status))
        return status;
    TGuardedApplication<QApplication> app(argc, argv);
    QApplication::setApplicationName("KT4 Head Upgrade Utility");
    QApplication::setApplicationVersion(KT4_VERSION);
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
    status = app.exec();
    delete AboutBox;
    delete frmDebug;
    delete frmUpgrade;
    return status;
}
