#include "tests/app/SimProcess.h"

#include <QDir>
#include <QFile>
#include <QProcessEnvironment>
#include <QThread>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

TSimProcess::TSimProcess(const QStringList& Options, TWay Way, bool AnswersEnumerator)
{
    QStringList arguments({"--flash-out", FlashFile(), "--verbose"});
    if (Way == OverIrda)
        arguments << "--irda" << FDir.filePath("irda.sock");
    if (Way == InDock && !Options.contains("--dock"))
        arguments << "--dock" << "kelo6";
    if (Way == InUsbDock) {
        QDir().mkpath(UsbDir());
        arguments << "--dock" << "kelo6" << "--usb" << UsbDir();
    }
    if (Way == InDock && !AnswersEnumerator)
        arguments << "--no-enumerator";
    FProcess.setProgram(KT4_SIM_PATH);
    FProcess.setArguments(arguments + Options);
    // The log goes to a file: a pipe that nobody reads while a test waits for
    // kt4-flash would fill up and stop the simulator in the middle of a line.
    FProcess.setStandardErrorFile(FDir.filePath("sim.log"));
    FProcess.start();
    if (!FProcess.waitForStarted(60000))
        throw std::runtime_error("the simulator did not start");
    // Its first line tells where it is; a loaded machine may take a while.
    while (!FProcess.canReadLine() && FProcess.state() == QProcess::Running && FProcess.waitForReadyRead(60000)) {
    }
    const QByteArray line = FProcess.readLine().trimmed();
    if (line.startsWith("PTY "))
        FPty = QString::fromLocal8Bit(line.mid(4));
    else if (line.startsWith("IRDA "))
        FIrda = QString::fromLocal8Bit(line.mid(5));
    else if (line.startsWith("DOCK "))
        FDock = QString::fromLocal8Bit(line.mid(5));
    else if (line.startsWith("USB "))
        FDock = "usb";
    else
        throw std::runtime_error("the simulator printed no address: " + line.toStdString());
}


TSimProcess::~TSimProcess()
{
    Stop();
}

void TSimProcess::Stop()
{
    if (FProcess.state() == QProcess::NotRunning)
        return;
    FProcess.terminate();
    if (!FProcess.waitForFinished(5000))
        FProcess.kill();
    FProcess.waitForFinished(2000);
}

QByteArray TSimProcess::Log()
{
    QFile f(FDir.filePath("sim.log"));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QByteArray TSimProcess::Flash() const
{
    QFile f(FlashFile());
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    return f.readAll();
}

QString TSimProcess::MakeImage(const QString& Version, const QString& Name)
{
    const QString path = FDir.filePath(Name);
    QProcess maker;
    maker.start(KT4_SIM_PATH, {"--make-image", path, "--image-version", Version, "--image-date", "2026-12-01 08:30:00"});
    if (!maker.waitForFinished(10000) || maker.exitCode() != 0)
        throw std::runtime_error("the simulator made no image");
    return path;
}

TFlashRun RunFlash(const QStringList& Arguments, const QStringList& Environment)
{
    QProcess flash;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString& entry : Environment)
        env.insert(entry.section('=', 0, 0), entry.section('=', 1));
    flash.setProcessEnvironment(env);
    flash.setProcessChannelMode(QProcess::MergedChannels);
    flash.start(KT4_FLASH_PATH, Arguments);
    flash.closeWriteChannel();  // no operator at the terminal
    TFlashRun run;
    if (!flash.waitForFinished(120000)) {
        flash.kill();
        flash.waitForFinished();
    }
    run.ExitCode = flash.exitStatus() == QProcess::NormalExit ? flash.exitCode() : -1;
    run.Output = QString::fromLocal8Bit(flash.readAll());
    return run;
}

QByteArray AskVersion(const QString& Pty)
{
    const int fd = ::open(Pty.toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
    if (fd < 0)
        return QByteArray();
    termios tio{};
    ::tcgetattr(fd, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(fd, TCSANOW, &tio);
    QByteArray reply;
    if (::write(fd, "VFL7", 4) == 4) {
        for (int i = 0; i < 100 && reply.size() < 8; ++i) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 50) > 0) {
                char buffer[64];
                const ssize_t n = ::read(fd, buffer, sizeof buffer);
                if (n > 0)
                    reply.append(buffer, n);
            }
        }
    }
    ::close(fd);
    return reply;
}
