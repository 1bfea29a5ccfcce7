#pragma once
// The main window: a view of the upgrade session. It draws the session's
// stage, progress and outcome, asks the operator the session's questions in
// its boxes, and holds the dock option's controls.

#include "controls/Gauges.h"
#include "controls/Info.h"
#include "controls/LumLed.h"
#include "dock/DockEnumerator.h"
#include "head/KT4Head.h"
#include "link/KeskLink.h"
#include "platform/Timer.h"
#include "upgrade/UpgradeSession.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <QPointer>
#include <QPushButton>

class TfrmDebug;

class TfrmUpgrade : public QMainWindow, private TUpgradeOperator {
public:
    explicit TfrmUpgrade(QWidget* Parent = nullptr);
    ~TfrmUpgrade() override;

    // The debug window that logs the traffic (created after this window). It
    // does not keep the program running once the main window has closed.
    void SetDebugWindow(TfrmDebug* DebugWindow);

    // The About box the Help menu shows (created after this window); like the
    // debug window, it ends with the main window.
    void SetAboutBox(QWidget* AboutBox);

    // ---- visible controls ----
    QLabel* lblStatus;
    QLabel* imgInstr;
    QFrame* bevInstr;
    QGroupBox* gbFlashInfo;
    QLabel* lblFlashVer;
    QLabel* lblFlashNewVer;
    QLabel* lblFlashNewDate;
    QPushButton* cbStart;
    QPushButton* cbStop;
    QFrame* pnlGauge;
    TGauge* gauProgress;
    QFrame* pnlLeds;
    TLumLed* ledTransmit;
    TLumLed* ledReceive;
    QLabel* lblPageNum;
    QLabel* lbl_DLProgress;
    QLabel* lblFlashAddr;
    QLabel* lblTime;
    // ---- present but not shown ----
    QLabel* imgDock;
    QFrame* bevDock;
    QCheckBox* chkUseKelo6;
    QCheckBox* UseWeb;
    QLineEdit* edtIpAddr;
    QComboBox* ComboBox1;
    QLabel* lblEthernetDockList;
    QComboBox* cboDockList;
    QPushButton* cbLoadFlash;
    // ---- menus ----
    QMenu* mnuHelp;
    QAction* mnuAbout;
    QMenu* PopupMenu1;
    QAction* mnuDebugWindow;
    QAction* mnuExit;

    // ---- non-visual components ----
    TUpgradeSession* Session;  // the road; the link and the head model are its own
    TKeskLink* KeskLink1;
    TKT4Head* KT4Head1;
    TEPInfoExe* AppInfo;
    TTimer* tmrUpdateTime;
    QString OpenDialog1Filter = "Binary File|*.bin";
    // ---- the dock option (the dock itself is the session's, made at Start) ----
    TDockEnumerator* DockEnumerator1;

    // ---- state ----
    int ElapsedSeconds = 0;

    // ---- handlers ----
    void cbStartClick() { StartFlashUpload(); }
    void StartFlashUpload();
    void cbStopClick();
    void cbLoadFlashClick() { Session->OfferImageChoice(); }
    void SessionStageChanged(TUpgradeStage Stage);
    void SessionImageAccepted();
    void SessionProgress(int Done, int Total, int Address);
    void SessionError(const TErrorInfo& Error);
    void SessionFinished(const QString& Message);
    void tmrUpdateTimeTimer();
    void KeskLink1DebugSend(const QByteArray& Data);
    void KeskLink1DebugReceive(const QByteArray& Data);
    void FormShow();
    // ---- the dock option ----
    void chkUseKelo6Click();
    void DockEnumerator1ListChanged();
    void cboDockListChange();
    void CorvaneKelo6Dock1DeviceRemoved() {}
    void FormClose();
    bool UseDock() const { return chkUseKelo6->isChecked(); }

    void ShowBusy();
    void ShowIdle();

protected:
    void showEvent(QShowEvent* Event) override;
    void contextMenuEvent(QContextMenuEvent* Event) override;
    void closeEvent(QCloseEvent* Event) override;

private:
    void CreateControls(QWidget* Client);
    void CreateHiddenControls(QWidget* Client);
    void CreateMenus();
    void CreateComponents();
    void LogTraffic(const QString& Entry);
    void BringToFront();
    void SwitchToNetworkDock();
    bool MakeDock();
    void ShowOnline();

    // the operator's decisions, asked in the window's boxes
    bool ConfirmErase() override;
    void AskToPlace(bool InDock) override;
    std::optional<QString> ChooseImage() override;
    bool ConfirmVersion(const QString& Version) override;
    bool ConfirmOlderImage() override;
    int ChoosePort() override;

    bool FUsbDockChosen = false;  // the dock on the USB bus, else the one at the address given
    QPointer<TfrmDebug> frmDebug;
    QPointer<QWidget> FAboutBox;
    bool FShownOnce = false;
    bool FClosing = false;  // the close waits for the dock to be handed back
    bool FClosed = false;
};

// The N-th field (from 1) of a text whose fields are separated by "."; a field
// beyond the last gives the last one again.
QString VersionField(const QString& Text, int N);

// What the closed dock list shows of an entry ("MP KeloExpress (Kelo6)
// 127.0.10.1") in Width pixels: the whole entry when it fits, otherwise the
// dock's name shortened and its address whole.
QString DockListEntryShown(const QString& Entry, const QFontMetrics& Metrics, int Width);
