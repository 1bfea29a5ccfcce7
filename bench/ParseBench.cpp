// kt4-parse-bench: what reading outside input costs.
//
//  1. One read (the parsers alone): 1 MiB of "NAK" and of "EVT0" handed to the
//     Kelo6 dock's control channel at once, 1 MiB of page answers ("ACK", the
//     index, the page echo) to the link's answer assembler at once.
//  2. The same bytes over loopback TCP from a dock of the bench's own, through
//     the socket layer: the control bytes to the dock, the page answers on the
//     data connection to the link; with the longest turn of the main thread's
//     event loop meanwhile (in CPU time, so that a busy machine does not count).
//  3. kt4-flash as a process against kt4-sim flooding the dock's control
//     connection (--flood-control NAK, EVT0) during the upload: the time from
//     SIGINT to the end of the run, its CPU time meanwhile, and how the dock's
//     hand-back ended.
//
// Goals: each parse well under 0.1 s; no turn of the event loop held for more
// than a few ms; SIGINT ends the run within a second.
//
// Run from a release build: build/release/bench/kt4-parse-bench [KiB]
// (default 1024). KT4_BENCH_FLASH names another kt4-flash to measure.

#include "bench/BenchSupport.h"
#include "dock/CorvaneKelo6Dock.h"
#include "link/KeskLink.h"
#include "link/ReplyAssembler.h"
#include "platform/Dialogs.h"
#include "platform/ErrorDisplay.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <ctime>
#include <unistd.h>

namespace {

constexpr int CapSeconds = 600;  // a row that takes longer is reported as unfinished

const QByteArray PageAnswer("ACK0\x01\x42", 6);

QByteArray Repeated(const QByteArray& Unit, int KiB)
{
    return Unit.repeated(KiB * 1024 / Unit.size());
}

double Seconds(const QElapsedTimer& Clock)
{
    return Clock.nsecsElapsed() / 1e9;
}

// ---------------------------------------------------------------- one read

void OneRead(int KiB)
{
    for (const char* unit : {"NAK", "EVT0"}) {
        TCorvaneKelo6Dock dock;
        int events = 0;
        dock.OnPumpLowFlow = [&](QObject*) { ++events; };
        const QByteArray chunk = Repeated(unit, KiB);
        QElapsedTimer clock;
        clock.start();
        dock.HandleControlData(chunk);
        std::printf("one read, %d KiB of %s to the dock's control channel: %.4f s (%d events)\n", KiB, unit,
                    Seconds(clock), events);
    }
    TReplyAssembler answers;
    answers.Expect("WEP ");
    const QByteArray chunk = Repeated(PageAnswer, KiB);
    QElapsedTimer clock;
    clock.start();
    answers.Add(chunk);
    int count = 0;
    while (answers.TakeComplete())
        ++count;
    std::printf("one read, %d KiB of page answers to the answer assembler: %.4f s (%d answers)\n", KiB,
                Seconds(clock), count);
}

// ---------------------------------------------------------------- through the socket layer

// A Kelo6 dock of the bench's own at a loopback address: its two listeners,
// the connections once the utility has made them, and "SLV" answered.
class TBenchDock {
public:
    explicit TBenchDock(const char* Address)
    {
        FControlListener = Listen(Address, 5004);
        FDataListener = Listen(Address, 5005);
    }
    ~TBenchDock()
    {
        FNotifier.reset();
        for (int fd : {FControlListener, FDataListener, FControl, FData})
            if (fd >= 0)
                ::close(fd);
    }
    // Takes the connections the utility made.
    bool Accept()
    {
        for (int i = 0; i < 1000 && (FControl < 0 || FData < 0); ++i) {
            if (FControl < 0)
                FControl = ::accept(FControlListener, nullptr, nullptr);
            if (FData < 0)
                FData = ::accept(FDataListener, nullptr, nullptr);
            RunLoopFor(5);
        }
        if (FControl < 0 || FData < 0)
            return false;
        FNotifier = std::make_unique<QSocketNotifier>(FControl, QSocketNotifier::Read);
        QObject::connect(FNotifier.get(), &QSocketNotifier::activated, [this] { AnswerCommands(); });
        return true;
    }
    int Control() const { return FControl; }
    int Data() const { return FData; }

private:
    static int Listen(const char* Address, quint16 Port)
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(Port);
        ::inet_pton(AF_INET, Address, &local.sin_addr);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 || ::listen(fd, 4) != 0)
            std::fprintf(stderr, "kt4-parse-bench: cannot listen on %s:%d\n", Address, Port);
        return fd;
    }
    // "SLV": not busy, and the instrument comes up; anything else: "ACK".
    void AnswerCommands()
    {
        char buffer[256];
        const ssize_t got = ::recv(FControl, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got <= 0) {
            FNotifier->setEnabled(false);
            return;
        }
        const QByteArray answer = QByteArray(buffer, int(got)).contains("SLV") ? "ACKIEVT1" : "ACK";
        [[maybe_unused]] const ssize_t sent = ::send(FControl, answer.constData(), answer.size(), MSG_NOSIGNAL);
    }

    int FControlListener = -1;
    int FDataListener = -1;
    int FControl = -1;
    int FData = -1;
    std::unique_ptr<QSocketNotifier> FNotifier;
};

// The CPU time of the calling thread: a turn of the event loop is measured
// by the work it did, not by the time the machine gave to others meanwhile.
double ThreadCpuMs()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

// Writes Bytes to Fd from a thread of its own, as a dock would, while the
// event loop reads them; the longest turn of the loop meanwhile.
struct TSocketRun {
    double Seconds = -1;
    double LongestTurnMs = 0;  // of the main thread's CPU time
};

TSocketRun Feed(int Fd, const QByteArray& Bytes, const std::function<bool()>& Done)
{
    QElapsedTimer clock;
    clock.start();
    std::thread writer([Fd, Bytes] {
        for (qsizetype sent = 0; sent < Bytes.size();) {
            const ssize_t n = ::send(Fd, Bytes.constData() + sent, Bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                return;
            sent += n;
        }
    });
    TSocketRun run;
    double turn = ThreadCpuMs();
    QTimer everyTurn;
    everyTurn.setInterval(0);
    QObject::connect(&everyTurn, &QTimer::timeout, [&] {
        const double now = ThreadCpuMs();
        run.LongestTurnMs = std::max(run.LongestTurnMs, now - turn);
        turn = now;
    });
    everyTurn.start();
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, [&] {
        if (Done() || clock.elapsed() > CapSeconds * 1000)
            loop.quit();
    });
    check.start(1);
    loop.exec();
    if (Done())
        run.Seconds = Seconds(clock);
    writer.join();
    return run;
}

void Print(const char* What, int KiB, const TSocketRun& Run)
{
    if (Run.Seconds < 0)
        std::printf("loopback TCP, %d KiB of %s: UNFINISHED after %d s\n", KiB, What, CapSeconds);
    else
        std::printf("loopback TCP, %d KiB of %s: %.4f s; the longest turn of the event loop %.2f ms of CPU\n", KiB, What,
                    Run.Seconds, Run.LongestTurnMs);
}

void ThroughSockets(int KiB)
{
    int address = 0;
    for (const char* unit : {"NAK", "EVT0"}) {
        const QByteArray where = QByteArray("127.0.146.") + QByteArray::number(++address);
        TBenchDock bench(where.constData());
        TCorvaneKelo6Dock dock;
        dock.SetEthernetAddress(QString::fromLatin1(where));
        qsizetype read = 0;
        dock.OnDebugRcvControlData = [&](QObject*, const QByteArray& Chunk) { read += Chunk.size(); };
        bool opened = false;
        dock.Open([&](bool) { opened = true; });
        for (int i = 0; i < 300 && !opened; ++i)
            RunLoopFor(20);
        if (!dock.Enabled() || !bench.Accept()) {
            std::printf("loopback TCP, %s: the dock could not be enabled\n", unit);
            continue;
        }
        // Each chunk is told before it is parsed, and parsed before the event loop turns.
        const QByteArray flood = Repeated(unit, KiB);
        const TSocketRun run = Feed(bench.Control(), flood, [&] { return read == flood.size(); });
        Print(QByteArray(unit).append(" to the dock's control channel").constData(), KiB, run);
    }

    const QByteArray where = QByteArray("127.0.146.") + QByteArray::number(++address);
    TBenchDock bench(where.constData());
    TCorvaneKelo6Dock dock;
    dock.SetEthernetAddress(QString::fromLatin1(where));
    TKeskLink link;
    link.SetInstrumentType(tpKT4Head);
    link.SetDock(&dock);
    link.OnError = [](QObject*, const TErrorInfo&) {};
    RunLoopFor(150);  // the link's start-up step
    bool up = false;
    link.OnLinkUp = [&](QObject*, bool) { up = true; };
    link.SetConnected(true);
    bench.Accept();
    for (int i = 0; i < 1000 && !up; ++i)
        RunLoopFor(5);
    if (!up) {
        std::printf("loopback TCP, page answers: the link did not come up through the bench's dock\n");
        return;
    }
    const QByteArray answers = Repeated(PageAnswer, KiB);
    const int expected = int(answers.size() / PageAnswer.size());
    int delivered = 0;
    link.OnReceiveMsg = [&](QObject*, const QByteArray&) { ++delivered; };
    link.SendMsg(QByteArray("WEP \x01\x42", 6), 10);
    const TSocketRun run = Feed(bench.Data(), answers, [&] { return delivered >= expected; });
    Print("page answers to the link through the dock's data connection", KiB, run);
}

// ---------------------------------------------------------------- kt4-flash against a flooding dock

double ChildCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The process's CPU time so far, from the kernel's accounts.
double ProcessCpuSeconds(qint64 Pid)
{
    QFile stat(QString("/proc/%1/stat").arg(Pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = stat.readAll().split(')').last().trimmed().split(' ');
    return fields.size() > 12 ? (fields[11].toDouble() + fields[12].toDouble()) / sysconf(_SC_CLK_TCK) : 0;
}

void FloodedRun(const QString& Flash, const QString& Image, const char* Flood, const QString& Address)
{
    QProcess sim;
    StartSim(sim, {"--dock", "kelo6", "--no-enumerator", "--address", Address, "--flood-control", Flood,
                   "--silent-after", "100"});
    QProcess flash;
    flash.start(Flash, {Image, "--dock", Address, "-y", "--no-history"});
    flash.waitForStarted();
    flash.closeWriteChannel();
    QByteArray out;
    QElapsedTimer waited;
    waited.start();
    while (!out.contains("Page 32/446") && flash.state() == QProcess::Running && waited.elapsed() < 60000) {
        flash.waitForReadyRead(1000);
        out += flash.readAllStandardOutput();
    }
    const bool uploading = out.contains("Page 32/446");
    if (flash.processId() <= 0) {
        std::printf("kt4-flash, dock flooding its control connection with %s: the run ended by itself (exit status "
                    "%d)\n", Flood, flash.exitCode());
        sim.terminate();
        sim.waitForFinished();
        return;
    }
    const double cpuBefore = ProcessCpuSeconds(flash.processId());
    const double childrenBefore = ChildCpuSeconds();
    QElapsedTimer clock;
    clock.start();
    ::kill(pid_t(flash.processId()), SIGINT);
    const bool ended = flash.waitForFinished(CapSeconds * 1000);
    const double seconds = Seconds(clock);
    const double cpu = ChildCpuSeconds() - childrenBefore - cpuBefore;
    const QByteArray err = flash.readAllStandardError();
    const char* handBack = err.contains("did not answer")   ? "the dock did not answer"
                           : err.contains("did not take")   ? "refused by the dock"
                           : err.contains("handed back")    ? "answered"
                                                            : "not begun";
    std::printf("kt4-flash, dock flooding its control connection with %s: upload %s; SIGINT to the end %s %.3f s, "
                "%.3f s of CPU meanwhile; hand-back %s; exit status %d\n",
                Flood, uploading ? "under way" : "NOT UNDER WAY after 60 s", ended ? "in" : "NOT ENDED after",
                seconds, cpu, handBack, ended ? flash.exitCode() : -1);
    if (!ended)
        flash.kill();
    flash.waitForFinished();
    sim.terminate();
    sim.waitForFinished();
}

}  // namespace

int main(int argc, char** argv)
{
    TCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    SetDialogService(std::make_unique<TConsoleDialogs>(true));
    const int kib = argc > 1 ? std::max(1, atoi(argv[1])) : 1024;
    OneRead(kib);
    ThroughSockets(kib);

    QTemporaryDir dir;
    const QString image = dir.filePath("bench.bin");
    QProcess::execute(KT4_SIM_PATH, {"--make-image", image, "--image-version", "1.20"});
    const QString flash = qEnvironmentVariableIsEmpty("KT4_BENCH_FLASH") ? QString(KT4_FLASH_PATH)
                                                                          : qEnvironmentVariable("KT4_BENCH_FLASH");
    FloodedRun(flash, image, "NAK", "127.0.146.10");
    FloodedRun(flash, image, "EVT0", "127.0.146.11");
    return 0;
}
