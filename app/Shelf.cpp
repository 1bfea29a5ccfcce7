#include "app/Shelf.h"

#include "app/FlashCommand.h"
#include "app/FlashReport.h"
#include "app/SignalWatch.h"
#include "platform/Dialogs.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QJsonDocument>
#include <QSysInfo>
#include <QFileInfo>
#include <QRegularExpression>
#include <algorithm>
#include <csignal>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

constexpr int RedrawMs = 200;         // a terminal's progress lines at most this often
constexpr int PagesPerLogLine = 64;   // a log file's progress line now and then

QString Clock(qint64 Milliseconds)
{
    const qint64 seconds = Milliseconds / 1000;
    return QString("%1:%2").arg(seconds / 60, 2, 10, QChar('0')).arg(seconds % 60, 2, 10, QChar('0'));
}

// "01:05.3": the summary's times, to a tenth of a second.
QString ClockTenths(qint64 Milliseconds)
{
    const qint64 tenths = (Milliseconds + 50) / 100;
    return QString("%1.%2").arg(Clock(tenths * 100)).arg(tenths % 10);
}

// A cell of the summary: what a member reported (versions, causes) kept to
// its line.
QString Cell(const QString& Text, int Width = 0)
{
    return OutsideText::OneLine(Text).leftJustified(Width);
}

}  // namespace

TShelfEntry PortEntry(const QString& Port, const QString& Device)
{
    const QString canonical = QFileInfo(Device).canonicalFilePath();
    return TShelfEntry{Port, "port " + (canonical.isEmpty() ? Device : canonical), {"--port", Device}};
}

TShelfEntry DockEntry(const QString& Dock)
{
    return TShelfEntry{"dock " + Dock, "dock " + Dock.toLower(), {"--dock", Dock}};
}

QString SharedResource(const QList<TShelfEntry>& Entries)
{
    for (int i = 0; i < Entries.size(); ++i)
        for (int j = i + 1; j < Entries.size(); ++j)
            if (Entries[i].Resource == Entries[j].Resource)
                return QString("%1 and %2 are the same instrument").arg(Entries[i].Label, Entries[j].Label);
    return QString();
}

QString MemberTraceFile(const QString& Base, const QString& Label)
{
    QString tag = Label.startsWith("/dev/") ? Label.mid(5) : Label;
    tag.replace(QRegularExpression("[^A-Za-z0-9_.-]+"), "_");
    const QString suffix = QFileInfo(Base).suffix().isEmpty() ? QString() : '.' + QFileInfo(Base).suffix();
    return Base.left(Base.size() - suffix.size()) + '-' + tag + suffix;
}

TShelf::TShelf(const TShelfOptions& Options, FILE* Out)
    : FOptions(Options), FOut(Out), FTty(::isatty(fileno(Out)) != 0)
{
    for (const TShelfEntry& entry : Options.Entries) {
        auto member = std::make_unique<TMember>();
        member->Entry = entry;
        FMembers.push_back(std::move(member));
    }
    FRedraw.setSingleShot(true);
    connect(&FRedraw, &QTimer::timeout, this, [this] { Redraw(); });
    if (!Options.ReportFile.isEmpty())
        FReport = std::make_unique<TSessionReport>(Options.ReportFile, Options.Image);
}

bool TShelf::ReportOk() const
{
    if (!FReport || FReport->Ok())
        return true;
    std::fprintf(stderr, "kt4-flash: cannot write the report %s: %s\n", qPrintable(OutsideText::OneLine(FOptions.ReportFile)),
                 qPrintable(TerminalSafe(FReport->ErrorString())));
    return false;
}

TShelf::~TShelf()
{
    // Members still running when the shelf goes (it never does before they
    // end, unless the program is being torn down) are not left behind.
    for (auto& member : FMembers)
        if (member->Process && member->Process->state() != QProcess::NotRunning) {
            member->Process->kill();
            member->Process->waitForFinished(2000);
        }
}

int TShelf::Run()
{
    FClock.start();
    if (!FOptions.Json) {
        if (FOptions.Watch)
            std::fprintf(FOut, "Watching %d %s until Ctrl-C, each in its own process.\n", int(FMembers.size()),
                         FMembers.size() == 1 ? "dock or port" : "docks and ports");
        else
            std::fprintf(FOut, "%s %d instruments at once, each in its own process.\n",
                         FOptions.Identify ? "Identifying" : "Upgrading", int(FMembers.size()));
        std::fflush(FOut);
    }
    for (auto& member : FMembers)
        Start(*member);
    FLoop.exec();
    Redraw();
    if (!FOptions.Json)
        PrintSummary();
    PrintHistoryProblems();
    return ShelfStatus();
}

void TShelf::Start(TMember& Member)
{
    QStringList arguments = {"--shelf-member", "--yes"};
    if (!FOptions.Image.isEmpty())
        arguments.prepend(FOptions.Image);
    arguments += Member.Entry.Arguments;
    if (FOptions.Watch)
        arguments << "--watch";
    arguments += FOptions.MemberOptions;
    if (!FOptions.TraceFile.isEmpty())
        arguments << "--trace" << MemberTraceFile(FOptions.TraceFile, Member.Entry.Label);

    Member.Process = new QProcess(this);
    Member.Process->setStandardErrorFile(QProcess::nullDevice());  // the person's lines: the rows tell instead
    connect(Member.Process, &QProcess::readyReadStandardOutput, this, [this, &Member] { ReadReport(Member); });
    connect(Member.Process, &QProcess::finished, this, [this, &Member] { MemberEnded(Member); });
    connect(Member.Process, &QProcess::errorOccurred, this, [this, &Member](QProcess::ProcessError Error) {
        if (Error == QProcess::FailedToStart)
            MemberEnded(Member);
    });
    // A member is in a process group of its own (a terminal's Ctrl-C reaches
    // it through the shelf alone), and it ends as if stopped when its shelf is
    // gone, however the shelf went (SIGKILL too): the kernel sends it SIGHUP
    // when the shelf's thread that started it ends. That needs nothing of the
    // member's (no descriptor kept open, no watcher) and cannot be missed.
    const pid_t shelf = ::getpid();
    Member.Process->setChildProcessModifier([shelf] {
        ::setpgid(0, 0);
        ::signal(SIGHUP, SIG_DFL);  // not ignored as the shelf's may be (nohup): the member hears it
        ::prctl(PR_SET_PDEATHSIG, SIGHUP);
        if (::getppid() != shelf)
            ::raise(SIGHUP);  // gone already, before the request was made
    });
    Member.Clock.start();
    {
        // The member begins with the stopping signals blocked: one passed on
        // while it is still starting waits for its watch (see Forward).
        const TSignalsHeld held;
        Member.Process->start(FOptions.Program, arguments);
    }
    Member.Process->closeWriteChannel();  // no operator behind a member: it asks nothing
    Changed(Member, true);
}

// Every member that has been started, a member still starting too: it holds
// the signal until it can stop as Stop does.
void TShelf::Forward(int Signal)
{
    for (auto& member : FMembers)
        if (member->Process && member->Process->state() != QProcess::NotRunning && member->Process->processId() > 0)
            ::kill(static_cast<pid_t>(member->Process->processId()), Signal);
}

TMemberReport::TChange TMemberReport::Take(const QJsonObject& Event)
{
    const QString event = Event.value("event").toString();
    if (event == FlashReport::Image) {
        ImageVersion = Event.value("version").toString();
    } else if (event == FlashReport::Version) {
        OldVersion = Event.value("version").toString();
        return Milestone;
    } else if (event == FlashReport::Page) {
        Done = Event.value("done").toInt();
        Total = Event.value("total").toInt();
        return Done % PagesPerLogLine == 0 || Done == Total ? Milestone : Progress;
    } else if (event == FlashReport::Error) {
        const QString text = Event.value("text").toString();
        if (Event.value("code").toInt() == ecSessionHistory) {
            // Not the member's failure: told once for the shelf, after the
            // summary, every member meeting the same file.
            if (!HistoryProblems.contains(text))
                HistoryProblems << text;
        } else if (FirstError.isEmpty()) {
            FirstError = text;
        }
    } else if (event == FlashReport::Stage) {
        Stage = Event.value("stage").toString();
        return Progress;
    } else if (event == FlashReport::Attempt) {
        const QJsonObject row = Event.value("record").toObject();
        const QString outcome = row.value("outcome").toString();
        if (outcome == HistoryOutcome::Completed || outcome == HistoryOutcome::Confirmed)
            ++Upgraded;
        else if (outcome == HistoryOutcome::Skipped)
            ++Current;
        else if (outcome != HistoryOutcome::Identified)
            ++Failed;
        LastResult = row.value("version_before").toString() + " " + outcome;
        Rows << row;
        OldVersion.clear();
        Done = Total = 0;
        FirstError.clear();
        return Milestone;
    } else if (event == FlashReport::Parked) {
        Parked = true;
        return Milestone;
    } else if (event == FlashReport::End) {
        EndMessage = Event.value("message").toString();
        Outcome = Event.value("outcome").toString();
        Record = Event.value("record").toObject();
    }
    return NoChange;
}

void TShelf::ReadReport(TMember& Member)
{
    for (const QJsonObject& event : Member.Reader.Add(Member.Process->readAllStandardOutput())) {
        const TMemberReport::TChange change = Member.Report.Take(event);
        for (const QJsonObject& row : std::exchange(Member.Report.Rows, {}))
            WriteRow(row);
        if (change != TMemberReport::NoChange)
            Changed(Member, change == TMemberReport::Milestone);
    }
}

void TShelf::MemberEnded(TMember& Member)
{
    if (Member.Ended)
        return;
    Member.Ended = true;
    Member.Milliseconds = Member.Clock.elapsed();
    ReadReport(Member);
    if (Member.Process->error() == QProcess::FailedToStart)
        Member.Report.FirstError = "could not start " + FOptions.Program + ": " + Member.Process->errorString();
    else if (Member.Process->exitStatus() == QProcess::NormalExit)
        Member.Status = Member.Process->exitCode();
    else
        Member.Signal = Member.Process->exitCode();  // Qt gives the signal's number here
    if (!FOptions.Watch)
        WriteRow(MemberRow(Member));
    Changed(Member, true);
    for (const auto& member : FMembers)
        if (!member->Ended)
            return;
    FLoop.quit();
}

// The member's row as it reported it; a member that ended without its report
// (it crashed, or never started) gets one that says so.
QJsonObject TShelf::MemberRow(const TMember& Member) const
{
    QJsonObject row = Member.Report.Record;
    if (row.isEmpty()) {
        row = {{"ended", QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)},
               {"host", QSysInfo::machineHostName()},
               {"program", "kt4-flash"},
               {"program_version", QCoreApplication::applicationVersion()},
               {"image_file", FOptions.Image},
               {"outcome", HistoryOutcome::Failed},
               {"message", ResultText(Member)}};
        const int port = Member.Entry.Arguments.indexOf("--port");
        row.insert(port >= 0 ? "port" : "dock_address", Member.Entry.Arguments.value(1));
    }
    return row;
}

void TShelf::WriteRow(const QJsonObject& Row)
{
    const QJsonObject& row = Row;
    if (FReport && !FReport->Add(row))
        std::fprintf(stderr, "kt4-flash: cannot write the report %s: %s\n",
                     qPrintable(OutsideText::OneLine(FOptions.ReportFile)), qPrintable(TerminalSafe(FReport->ErrorString())));
    if (FOptions.Json) {
        std::fprintf(FOut, "%s\n", QJsonDocument(row).toJson(QJsonDocument::Compact).constData());
        std::fflush(FOut);
    }
}

bool TShelf::Upgraded(const TMember& Member) const
{
    const bool acknowledged = Member.Status == fsCompleted || Member.Status == fsTraceIncomplete;
    return acknowledged && (Member.Report.Outcome == HistoryOutcome::Completed
                            || Member.Report.Outcome == HistoryOutcome::Confirmed);
}

// ---- what the person sees ----

QString TShelf::ResultText(const TMember& Member) const
{
    const TMemberReport& report = Member.Report;
    const QString cause = report.FirstError.isEmpty() ? report.EndMessage : report.FirstError;
    if (Member.Status == fsCompleted && !Upgraded(Member))
        return report.EndMessage;  // identified, or already current: what it said
    switch (Member.Status) {
    case fsCompleted: return "done: program command acknowledged";
    case fsTraceIncomplete: return "done: program command acknowledged; the trace is incomplete";
    case fsSignalled + SIGINT: return "stopped by SIGINT: " + cause;
    case fsSignalled + SIGTERM: return "stopped by SIGTERM: " + cause;
    case fsSignalled + SIGHUP: return "stopped by SIGHUP: " + cause;
    case fsCancelled: return "cancelled";
    case fsImageRefused: return "image refused: " + cause;
    case fsNotConnected: return "not connected: " + cause;
    case fsFailed: return "failed: " + cause;
    case -1:
        return Member.Signal ? QString("failed: the upgrade process ended by signal %1").arg(Member.Signal)
                             : "failed: " + cause;
    }
    return QString("failed (exit status %1): %2").arg(Member.Status).arg(cause);
}

// Watching: what the dock is doing, and what it has done so far.
QString TShelf::WatchLine(const TMember& Member) const
{
    const TMemberReport& report = Member.Report;
    QString state;
    if (Member.Ended)
        state = report.Parked ? "parked: three failures in a row" : "stopped";
    else if (report.Stage == "verifying")
        state = "waiting for the instrument to restart";
    else if (report.Total > 0)
        state = QString("%1 -> %2  page %3/%4").arg(report.OldVersion, report.ImageVersion).arg(report.Done).arg(report.Total);
    else if (!report.OldVersion.isEmpty())
        state = "KT4 head " + report.OldVersion;
    else if (report.Stage == "waiting" && !report.LastResult.isEmpty())
        state = "waiting for it to be taken out";
    else
        state = "waiting for an instrument";
    QString done = QString("%1 upgraded, %2 current, %3 failed").arg(report.Upgraded).arg(report.Current).arg(report.Failed);
    if (!report.LastResult.isEmpty())
        done += ", last " + report.LastResult;
    return Cell(Member.Entry.Label, 16) + ' ' + Cell(state, 34) + ' ' + Cell(done);
}

QString TShelf::ProgressLine(const TMember& Member) const
{
    if (FOptions.Watch)
        return WatchLine(Member);
    QString state;
    if (Member.Ended)
        state = Clock(Member.Milliseconds) + "  " + ResultText(Member);
    else if (Member.Report.OldVersion.isEmpty())
        state = "connecting";
    else if (FOptions.Identify)
        state = "version " + Member.Report.OldVersion;
    else if (Member.Report.Total == 0)
        state = QString("version %1, upgrading to %2").arg(Member.Report.OldVersion, Member.Report.ImageVersion);
    else
        state = QString("%1 -> %2  page %3/%4  %5")
                    .arg(Member.Report.OldVersion, Member.Report.ImageVersion)
                    .arg(Member.Report.Done)
                    .arg(Member.Report.Total)
                    .arg(Clock(Member.Clock.elapsed()));
    return Cell(Member.Entry.Label, 16) + ' ' + Cell(state);
}

// A terminal shows one line per instrument, redrawn in place; a log file gets
// a line when an instrument comes online, now and then while it uploads, and
// when it ends.
void TShelf::Changed(TMember& Member, bool Milestone)
{
    if (FOptions.Json)
        return;  // the instruments' objects alone
    if (FTty) {
        if (!FRedraw.isActive())
            FRedraw.start(Milestone ? 0 : RedrawMs);
        return;
    }
    if (Milestone) {
        std::fprintf(FOut, "%s\n", qPrintable(ProgressLine(Member)));
        std::fflush(FOut);
    }
}

void TShelf::Redraw()
{
    if (!FTty)
        return;
    if (FDrawn)
        std::fprintf(FOut, "\x1b[%dA", int(FMembers.size()));  // back to the first instrument's line
    // A line wider than the terminal would wrap, and the lines would no longer
    // be where the next redraw expects them.
    winsize size{};
    const int width = ::ioctl(fileno(FOut), TIOCGWINSZ, &size) == 0 && size.ws_col > 1 ? size.ws_col - 1 : 1000;
    for (const auto& member : FMembers)
        std::fprintf(FOut, "\r\x1b[2K%s\n", qPrintable(ProgressLine(*member).left(width)));
    std::fflush(FOut);
    FDrawn = true;
}

void TShelf::PrintWatchSummary()
{
    QString text = "\n";
    int upgraded = 0, current = 0, failed = 0;
    for (const auto& member : FMembers) {
        const TMemberReport& r = member->Report;
        upgraded += r.Upgraded;
        current += r.Current;
        failed += r.Failed;
        text += QString("%1 %2 upgraded, %3 already current, %4 failed%5\n")
                    .arg(Cell(member->Entry.Label, 16))
                    .arg(r.Upgraded)
                    .arg(r.Current)
                    .arg(r.Failed)
                    .arg(r.Parked ? "; parked" : "");
    }
    text += QString("In all: %1 upgraded, %2 already current, %3 failed in %4.\n")
                .arg(upgraded)
                .arg(current)
                .arg(failed)
                .arg(ClockTenths(FClock.elapsed()));
    std::fprintf(FOut, "%s", qPrintable(TerminalSafe(text)));
    std::fflush(FOut);
}

void TShelf::PrintSummary()
{
    if (FOptions.Watch) {
        PrintWatchSummary();
        return;
    }
    int width = 10;
    for (const auto& member : FMembers)
        width = qMax(width, int(Cell(member->Entry.Label).size()));
    QString table = "\n" + Cell("Instrument", width) + "  " + Cell("Old", 6) + " " + Cell("New", 6) + " " +
                    Cell("Time", 7) + " " + Cell("Status", 6) + " Result\n";
    for (const auto& member : FMembers) {
        const TMember& m = *member;
        const QString status = m.Status >= 0 ? QString::number(m.Status) : QString("-");
        const QString newVersion = Upgraded(m) ? m.Report.ImageVersion : QString("-");
        const QString oldVersion = m.Report.OldVersion.isEmpty() ? QString("-") : m.Report.OldVersion;
        table += Cell(m.Entry.Label, width) + "  " + Cell(oldVersion, 6) + " " +
                 Cell(newVersion, 6) + " " + Cell(ClockTenths(m.Milliseconds), 7) + " " + Cell(status, 6) + " " +
                 Cell(ResultText(m)) + "\n";
    }
    const auto count = [this](const QString& Outcome) {
        return int(std::count_if(FMembers.begin(), FMembers.end(),
                                 [&](const auto& m) { return m->Status == fsCompleted && m->Report.Outcome == Outcome; }));
    };
    const int done = int(std::count_if(FMembers.begin(), FMembers.end(), [this](const auto& m) { return Upgraded(*m); }));
    if (FOptions.Identify)
        table += QString("%1 of %2 identified in %3.\n")
                     .arg(count(HistoryOutcome::Identified))
                     .arg(FMembers.size())
                     .arg(ClockTenths(FClock.elapsed()));
    else if (const int current = count(HistoryOutcome::Skipped); current > 0)
        table += QString("%1 of %2 upgraded, %3 already current, in %4.\n")
                     .arg(done)
                     .arg(FMembers.size())
                     .arg(current)
                     .arg(ClockTenths(FClock.elapsed()));
    else
        table += QString("%1 of %2 upgraded in %3.\n").arg(done).arg(FMembers.size()).arg(ClockTenths(FClock.elapsed()));
    std::fprintf(FOut, "%s", qPrintable(TerminalSafe(table)));
    std::fflush(FOut);
}

// The members' history problems, each told once.
void TShelf::PrintHistoryProblems()
{
    QStringList told;
    for (const auto& member : FMembers)
        for (const QString& problem : member->Report.HistoryProblems)
            if (!told.contains(problem)) {
                told << problem;
                std::fprintf(stderr, "kt4-flash: %s\n", qPrintable(TerminalSafe(problem)));
            }
    std::fflush(stderr);
}

// 0 only when every member's program command was acknowledged; otherwise the
// gravest of the members' statuses (a member that did not exit by itself
// counts as failed).
int TShelf::ShelfStatus() const
{
    // An upgrade whose trace is incomplete ranks below a cancel, above done.
    const auto rank = [](int Status) {
        return Status == fsTraceIncomplete ? 1 : Status == fsCompleted ? 0 : Status >= 1 && Status <= fsFailed ? Status + 1 : fsFailed + 1;
    };
    int status = fsCompleted;
    for (const auto& member : FMembers) {
        const int s = member->Status >= 0 && member->Status <= fsTraceIncomplete ? member->Status : int(fsFailed);
        if (rank(s) > rank(status))
            status = s;
    }
    return status;
}
