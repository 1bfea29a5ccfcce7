#pragma once
// The upgrade without a window: the same link and head model as the window,
// the operator's questions asked on the terminal, and a live progress line.

#include "dock/KeloDock.h"
#include "head/KT4Head.h"
#include "link/KeskLink.h"
#include "link/TraceLog.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QObject>
#include <cstdio>
#include <memory>

struct TFlashOptions {
    QString Image;
    QString Port;               // a serial device to use instead of the link's own choice
    int ConnectTimeOutSeconds = 60;
    int AnswerTimeOutMs = 0;    // replaces the instrument's time-outs (0: its own 5 to 30 s)
    QString TraceFile;          // every text sent and received, with its time (empty: none)
    QString Dock;               // through a dock: its network address, or "usb" for the first on the USB bus
    QString DockKind = "kelo6"; // "kelo6", "express" or "mp-express"
    FILE* Report = nullptr;     // a shelf member's report lines (app/FlashReport.h), or none
    bool NoHistory = false;
};

// Exit statuses of the command.
enum TFlashStatus {
    fsCompleted = 0,
    fsCancelled = 1,
    fsImageRefused = 2,
    fsNotConnected = 3,
    fsFailed = 4,
};

class TFlashCommand : public QObject {
public:
    explicit TFlashCommand(const TFlashOptions& Options, FILE* Out = stdout);
    ~TFlashCommand() override;

    // Runs the whole upgrade; the exit status.
    int Run();

    // A message box was shown (the dialog service tells): noted in the trace
    // and the report.
    void BoxShown(TMsgDlgType Type, const QString& Text);

private:
    bool ConfirmStart();
    bool MakeDock();
    bool PrepareDock();
    void ShowDockProgress();
    void StopPump();
    void HandDockBack();
    void StartConnecting();
    void ConnectTimedOut();
    void InstrumentOnline(bool Status);
    void ConfirmAndSend();
    void Progress(int Position, int Total);
    void ProgramSent(int Error);
    void InstrumentOffline();
    void Finish(int Status, const QString& Message);
    void Print(const QString& Line);  // control characters from outside shown escaped
    bool OpenTrace();
    void Report(const char* Key, const QString& Value);

    TFlashOptions FOptions;
    FILE* FOut;
    bool FTty;
    TKeskLink* FLink;
    TKT4Head* FHead;
    QEventLoop FLoop;
    QElapsedTimer FClock;
    QTimer* FConnectTimer;
    std::unique_ptr<TTraceFile> FTrace;
    TKeloDock* FDock = nullptr;
    class TUSBDevice* FUsbDevice = nullptr;
    std::unique_ptr<class TUSBDockDevice> FUsbDockDevice;
    QTimer* FDockProgressTimer = nullptr;
    bool FPumpStopped = false;
    QString FLastCount;  // "12/446", shown on the dock's display
    bool FOnlineSeen = false;
    bool FUploadStarted = false;
    bool FProgramAcknowledged = false;
    bool FFinished = false;
    int FStatus = fsFailed;
};
