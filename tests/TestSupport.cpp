#include "tests/TestSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

TScriptedDialogsScope::TScriptedDialogsScope()
{
    auto dialogs = std::make_unique<TScriptedDialogs>();
    FDialogs = dialogs.get();
    FPrevious = SetDialogService(std::move(dialogs));
}

TScriptedDialogsScope::~TScriptedDialogsScope()
{
    SetDialogService(std::move(FPrevious));
}

bool WaitFor(const std::function<bool()>& Condition, int TimeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!Condition()) {
        if (clock.elapsed() > TimeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return true;
}

TPtyPair::TPtyPair()
{
    FMaster = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (FMaster < 0 || ::grantpt(FMaster) != 0 || ::unlockpt(FMaster) != 0)
        throw std::runtime_error("cannot create a pseudo-terminal");
    FSlavePath = QString::fromLocal8Bit(::ptsname(FMaster));
    FSlaveKeeper = ::open(FSlavePath.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio{};
    ::tcgetattr(FSlaveKeeper, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(FSlaveKeeper, TCSANOW, &tio);
    ::fcntl(FMaster, F_SETFL, ::fcntl(FMaster, F_GETFL) | O_NONBLOCK);
}

TPtyPair::~TPtyPair()
{
    CloseMaster();
    if (FSlaveKeeper >= 0)
        ::close(FSlaveKeeper);
}

void TPtyPair::CloseMaster()
{
    if (FMaster >= 0)
        ::close(FMaster);
    FMaster = -1;
}

void TPtyPair::Write(const QByteArray& Data)
{
    qsizetype done = 0;
    while (done < Data.size()) {
        const ssize_t n = ::write(FMaster, Data.constData() + done, Data.size() - done);
        if (n > 0)
            done += n;
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
            throw std::runtime_error("pseudo-terminal write failed");
        else
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);  // let the reader drain it
    }
}

QByteArray TPtyPair::Read(int MinBytes, int TimeoutMs)
{
    QByteArray data;
    QElapsedTimer clock;
    clock.start();
    while (data.size() < MinBytes && clock.elapsed() < TimeoutMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        pollfd p{FMaster, POLLIN, 0};
        if (::poll(&p, 1, 5) > 0 && (p.revents & POLLIN)) {
            char buffer[4096];
            const ssize_t n = ::read(FMaster, buffer, sizeof buffer);
            if (n > 0)
                data.append(buffer, n);
        }
    }
    return data;
}

QByteArray Hex(const QByteArray& Bytes)
{
    return Bytes.toHex(' ').toUpper();
}
