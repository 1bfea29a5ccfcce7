// The simulator hooks of the shipped programs (KT4_IRDA_SIM, KT4_USB_SIM)
// against sockets that are not the simulator: whatever waits at the path, the
// look for devices comes back, reads within bounds and lists nothing that is
// not served by the user's own processes.

#include "link/SimulatedIrda.h"
#include "usb/RemoteSimUsb.h"
#include "usb/SimUsbWire.h"
#include "usb/USB.h"

#include <QFile>
#include <QTemporaryDir>
#include <cstring>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace {

struct TIrdaProbe : TRemoteSimIrda {
    using TRemoteSimIrda::DevicesInRange;
    using TRemoteSimIrda::TRemoteSimIrda;
};

enum TServing { Answers, NeverAccepts, AnswersTooMuch, ServedByAnotherUser };

// A Unix socket at Path that answers one connection with Answer, or does
// worse as Serving says, on a thread of its own.
class TFakeSimulator {
public:
    TFakeSimulator(const QString& Path, TServing Serving, QByteArray Answer)
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, QFile::encodeName(Path).constData());
        const auto at = reinterpret_cast<sockaddr*>(&address);
        FListener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ::bind(FListener, at, sizeof address);
        // The kernel keeps who listens: this thread alone is another user meanwhile.
        ::syscall(SYS_setresuid, -1, Serving == ServedByAnotherUser ? 65534 : 0, -1);
        ::listen(FListener, Serving == NeverAccepts ? 0 : 1);
        ::syscall(SYS_setresuid, -1, 0, -1);
        if (Serving == NeverAccepts) {  // its one place taken, and nobody accepts
            FWaiting = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            ::connect(FWaiting, at, sizeof address);
            return;
        }
        if (Serving == AnswersTooMuch)
            Answer = Answer.chopped(1) + QByteArray(1 << 20, 'x');  // a line that does not end
        FThread = std::thread([this, Answer] {
            pollfd waiting{FListener, POLLIN, 0};
            const int fd = ::poll(&waiting, 1, 10000) == 1 ? ::accept(FListener, nullptr, nullptr) : -1;
            char request[64];
            if (fd >= 0 && ::recv(fd, request, sizeof request, 0) > 0)
                ::send(fd, Answer.constData(), Answer.size(), MSG_NOSIGNAL);
            ::close(fd);
        });
    }
    ~TFakeSimulator()
    {
        if (FThread.joinable())
            FThread.join();
        ::close(FListener);
        ::close(FWaiting);
    }

private:
    int FListener = -1;
    int FWaiting = -1;
    std::thread FThread;
};

}  // namespace

TEST(SimulatorHooks, OnlyTheUsersOwnSimulatorIsListedAndNothingWaitsWithoutEnd)
{
    const QString guid = GuidCorvaneKelo6.ToString();
    const QByteArray usbAnswer = SimUsbWire::FormatHello({guid.toLatin1(), "sim-kelo6-1", QByteArray(9, '\x09')});
    TSimIrdaDevice instrument;
    instrument.Id = 0x1234;
    instrument.Name = "KT4 Head";
    const QByteArray irdaAnswer = SimIrdaWire::FormatDevice(instrument);
    const struct {
        const char* Name;
        TServing Serving;
        int Listed;
    } rows[] = {
        {"the simulator's answer", Answers, 1},
        {"a socket whose queue is full", NeverAccepts, 0},
        {"an answer too long to be one", AnswersTooMuch, 0},
        {"another user's socket", ServedByAnotherUser, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Name);
        if (row.Serving == ServedByAnotherUser && ::geteuid() != 0)
            continue;  // only root can serve as another user
        QTemporaryDir dir;
        {
            const QString path = dir.filePath("irda.sock");
            TFakeSimulator simulator(path, row.Serving, irdaAnswer);
            EXPECT_EQ(int(TIrdaProbe(path).DevicesInRange().size()), row.Listed) << "infrared";
        }
        {
            TFakeSimulator simulator(dir.filePath(SimUsbWire::SocketName(guid, "fake")), row.Serving, usbAnswer);
            EXPECT_EQ(TRemoteSimUsb(dir.path()).EnumerateDevices(GuidCorvaneKelo6).size(), row.Listed) << "USB";
        }
    }
}
