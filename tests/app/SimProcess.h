#pragma once
// The simulated instrument as a real process on a pseudo-terminal (or as a
// device of the simulated IrDA stack), and the command-line upgrade run
// against it.

#include <QByteArray>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

class TSimProcess {
public:
    enum TWay { OnPty, OverIrda, InDock, InUsbDock };
    // Starts the simulator with Options; its flash goes to FlashFile(). Over
    // IrDA it is a device of the simulated IrDA stack served at IrdaSocket();
    // in a dock it sits in a simulated dock served at DockAddress() (Options
    // name the address with "--address", and the kind with "--dock" when it
    // is not the Kelo6 dock). A dock answers the dock enumerator only when
    // AnswersEnumerator: the enquiry ports are shared by every process on the
    // machine, so only test programs that take the UDP ports' resource lock
    // may let their docks answer. In a USB dock it sits in the Kelo6 dock on
    // the simulated USB stack served in UsbDir().
    explicit TSimProcess(const QStringList& Options = {}, TWay Way = OnPty, bool AnswersEnumerator = false);
    ~TSimProcess();

    QString PtyPath() const { return FPty; }
    QString IrdaSocket() const { return FIrda; }
    QString DockAddress() const { return FDock; }
    QString UsbDir() const { return FDir.filePath("usb"); }
    QString FlashFile() const { return FDir.filePath("flash.bin"); }
    QByteArray Flash() const;                 // the flash as last written
    QByteArray Log();                         // what the simulator logged (--verbose) until Stop()
    void Stop();

    // Writes a sample image and gives its path.
    QString MakeImage(const QString& Version = "1.20", const QString& Name = "image.bin");
    QString Dir() const { return FDir.path(); }

private:
    QTemporaryDir FDir;
    QProcess FProcess;
    QString FPty;
    QString FIrda;
    QString FDock;
};

// kt4-flash's answer time-out in the tests: short enough that an instrument
// that never answers fails in seconds, long enough that a loaded machine's
// slow answer is not taken for none.
inline const QString AnswerTimeOut = "--answer-timeout-ms=2000";

struct TFlashRun {
    int ExitCode = -1;
    QString Output;
};

// Runs kt4-flash with Arguments; Environment entries are "NAME=value".
TFlashRun RunFlash(const QStringList& Arguments, const QStringList& Environment = {});

// Asks the instrument on Pty for its flash version, as the handshake does.
QByteArray AskVersion(const QString& Pty);
