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
#include <atomic>
#include <cstring>
#include <gtest/gtest.h>
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

enum TServing { Answers, NeverAccepts, AnswersWithoutEnd, ServedByAnotherUser };

sockaddr_un Address(const QString& Path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray path = QFile::encodeName(Path);
    std::memcpy(address.sun_path, path.constData(), path.size());
    return address;
}

// A Unix socket at Path that answers every connection with Answer, or does
// worse as Serving says, on a thread of its own until the object goes.
class TFakeSimulator {
public:
    TFakeSimulator(const QString& Path, TServing Serving, const QByteArray& Answer) : FAddress(Address(Path))
    {
        FListener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ::bind(FListener, reinterpret_cast<sockaddr*>(&FAddress), sizeof FAddress);
        if (Serving == ServedByAnotherUser) {
            // The kernel keeps who listens: this thread alone is another user meanwhile.
            ::syscall(SYS_setresuid, -1, 65534, -1);
            ::listen(FListener, 4);
            ::syscall(SYS_setresuid, -1, 0, -1);
        } else {
            ::listen(FListener, Serving == NeverAccepts ? 0 : 4);
        }
        if (Serving == NeverAccepts) {
            Knock(FWaiting);  // the one place in its queue is taken, and nobody accepts
            return;
        }
        FThread = std::thread([this, Serving, Answer] { Serve(Serving, Answer); });
    }
    ~TFakeSimulator()
    {
        FStop = true;
        int knock = -1;
        Knock(knock);  // wakes the accept
        if (FThread.joinable())
            FThread.join();
        for (int fd : {FListener, FWaiting, knock})
            if (fd >= 0)
                ::close(fd);
    }

private:
    void Knock(int& Fd)
    {
        Fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        ::connect(Fd, reinterpret_cast<sockaddr*>(&FAddress), sizeof FAddress);
    }
    void Serve(TServing Serving, const QByteArray& Answer)
    {
        for (;;) {
            const int fd = ::accept(FListener, nullptr, nullptr);
            if (fd < 0 || FStop) {
                if (fd >= 0)
                    ::close(fd);
                return;
            }
            char request[256];
            [[maybe_unused]] ssize_t n = ::recv(fd, request, sizeof request, 0);
            // Without end: the answer's line never ends, noise follows it for ever.
            const QByteArray answer = Serving == AnswersWithoutEnd ? Answer.chopped(1) : Answer;
            n = ::send(fd, answer.constData(), answer.size(), MSG_NOSIGNAL);
            const QByteArray noise(4096, 'x');
            while (Serving == AnswersWithoutEnd && !FStop && ::send(fd, noise.constData(), noise.size(), MSG_NOSIGNAL) > 0) {
            }
            ::close(fd);
        }
    }

    sockaddr_un FAddress;
    int FListener = -1;
    int FWaiting = -1;
    std::atomic<bool> FStop = false;
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
        {"an answer without end", AnswersWithoutEnd, 0},
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
