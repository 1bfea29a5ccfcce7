// kt4-flash --watch, one dock (or port) of a bench: instrument after
// instrument until a signal ends it or the dock is parked. Each instrument
// placed is identified and upgraded (or left alone when already current), the
// dock's display tells the outcome, and the next one is looked for once this
// one was taken out: the dock says so; a port is asked until nothing answers.

#include "app/FlashCommand.h"

#include "app/FlashReport.h"
#include "history/AttemptRows.h"
#include "upgrade/UpgradeTexts.h"

#include <QTimer>

namespace {

constexpr int SettleMs = 150;         // the link settles its way 100 ms after it was made
constexpr int RetryMs = 5000;         // a dock that could not be reached is tried again after this
constexpr int QuietProbeMs = 6000;    // a port whose instrument answers no enquiry this long is free
constexpr int ProbePauseMs = 2000;    // between two asks of an instrument not yet taken away
constexpr int FailuresToPark = 3;     // failures in a row that park a dock

// The dock display's first line after an instrument (16 characters at most).
QByteArray OutcomeLine(TUpgradeOutcome Outcome, const QByteArray& Version)
{
    switch (Outcome) {
    case TUpgradeOutcome::Completed: return "UPGRADED " + Version.trimmed().left(7);
    case TUpgradeOutcome::Skipped: return "ALREADY " + Version.trimmed().left(8);
    case TUpgradeOutcome::Identified: return "IDENTIFIED";
    default: return "FAILED - SEE PC";
    }
}

}  // namespace

int TFlashCommand::Watch()
{
    if (!OpenTrace() || !LoadImage())
        return fsImageRefused;
    if (!FOptions.Dock.isEmpty() && !FSession->MakeDock(FSession->Settings()))
        return fsNotConnected;
    QTimer::singleShot(SettleMs, this, [this] { NextInstrument(); });
    return FLoop.exec();
}

void TFlashCommand::NextInstrument()
{
    if (FSignal != 0) {
        FLoop.exit(fsCompleted);
        return;
    }
    FRemoved = false;
    FImageOffered = false;  // each instrument is offered the image once
    if (TKeloDock* dock = FSession->Dock())
        dock->OnDeviceRemoved = [this](QObject*) { InstrumentRemoved(); };
    FStarted = true;
    FSession->Start();
}

void TFlashCommand::WatchFinished(TUpgradeOutcome Outcome, const QString& Message)
{
    if (FProbing) {
        ProbeFinished(Outcome);
        return;
    }
    const TUpgradeAttempt& attempt = FSession->Attempt();
    const bool instrument = !attempt.Outcome.isEmpty() && attempt.Outcome != HistoryOutcome::InProgress;
    if (instrument)
        CountAttempt(Outcome, Message);
    if (FSignal != 0) {
        FLoop.exit(fsCompleted);
        return;
    }
    if (FFailuresInARow >= FailuresToPark) {
        Park();
        return;
    }
    if (!instrument) {
        QTimer::singleShot(RetryMs, this, [this] { NextInstrument(); });  // the dock could not be reached
        return;
    }
    ShowOnDock(OutcomeLine(Outcome, FSession->Head()->FileVersion()), "REMOVE KT4");
    AwaitRemoval();
}

// One instrument's end: its row for the bench, its line for the person.
void TFlashCommand::CountAttempt(TUpgradeOutcome Outcome, const QString& Message)
{
    const TUpgradeAttempt& attempt = FSession->Attempt();
    FFailuresInARow = Failure(Outcome) ? FFailuresInARow + 1 : 0;
    if (Outcome == TUpgradeOutcome::Completed)
        ++FUpgraded;
    else if (Outcome == TUpgradeOutcome::Skipped)
        ++FCurrent;
    else if (Failure(Outcome))
        ++FFailed;
    Report(FlashReport::Attempt, {{"record", AttemptRows::Json(attempt)}});
    WriteSessionReport(attempt);
    Print(QString("%1: %2").arg(attempt.Outcome, Message));
}

void TFlashCommand::ShowOnDock(const QByteArray& First, const QByteArray& Second)
{
    TKeloDock* dock = FSession->Dock();
    if (!dock || !dock->Enabled())
        return;
    dock->QueueLcdLine(0, First);
    dock->QueueLcdLine(1, Second);
}

// Three failures in a row: the dock (or port) takes no more instruments, and
// says so on its display; the others of the bench go on.
void TFlashCommand::Park()
{
    FParked = true;
    ShowOnDock("PARKED - SEE PC", "");
    const QString text = QString("%1 failures in a row: no more instruments are taken here").arg(FailuresToPark);
    Print(text);
    Report(FlashReport::Parked, {{"text", text}});
    FLoop.exit(fsFailed);
}

void TFlashCommand::AwaitRemoval()
{
    if (TKeloDock* dock = FSession->Dock()) {
        if (FRemoved)
            NextInstrument();
        else if (!dock->Enabled())
            QTimer::singleShot(RetryMs, this, [this] { NextInstrument(); });  // lost: no word will come
        return;  // the dock's word that the instrument was taken out follows
    }
    ProbeForQuiet();
}

void TFlashCommand::InstrumentRemoved()
{
    FRemoved = true;
    if (FSession->Stage() == TUpgradeStage::Waiting && !FProbing && FSignal == 0 && !FParked)
        NextInstrument();
}

// A port has no word of its own for an instrument taken away: it is asked who
// is there (nothing recorded) until nothing answers.
void TFlashCommand::ProbeForQuiet()
{
    if (FSignal != 0) {
        FLoop.exit(fsCompleted);
        return;
    }
    FProbing = true;
    QTimer::singleShot(ProbePauseMs, this, [this] { StartProbe(); });
}

void TFlashCommand::StartProbe()
{
    if (FSignal != 0) {
        FLoop.exit(fsCompleted);
        return;
    }
    TUpgradeSettings probe = FSettings;
    probe.Identify = true;
    probe.HistoryFile.clear();
    probe.ConnectTimeOutMs = QuietProbeMs;
    FSession->SetSettings(probe);
    FSession->Start();
}

void TFlashCommand::ProbeFinished(TUpgradeOutcome Outcome)
{
    FProbing = false;
    FSession->SetSettings(FSettings);
    // Only silence on an open port means the instrument was taken away: a
    // port that could not be opened just now proves nothing.
    if (Outcome == TUpgradeOutcome::NotConnected && FSession->NothingAnswered())
        NextInstrument();
    else
        ProbeForQuiet();  // after its pause
}
