// Writes on the libusb back end, against a dock on an emulated bus: a write
// hands its bytes to libusb and returns while they are on their way, so these
// check what the writer is promised all the same. The bytes of successive
// writes reach the dock in the order written; a write beyond the fill on the
// way waits for the oldest, and fails when the dock takes nothing; a write
// that fails on its way is told once, by the next write or by the pipe's wait
// descriptor; a dock pulled with writes on their way fails them; closing a
// pipe lets what was written arrive first.

#include "tests/TestSupport.h"
#include "tests/umock/EmulatedUsb.h"
#include "usb/LibUsbPlatform.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <linux/usbdevice_fs.h>
#include <mutex>
#include <poll.h>
#include <sys/ioctl.h>
#include <thread>

namespace {

constexpr int Piece = 64;  // the OUT endpoint's packet size
constexpr int OutIndex = 0;  // endpoint 0x01

TEmulatedIdentity DockIdentity()
{
    TEmulatedIdentity identity;
    identity.Vendor = 0x1209;
    identity.Product = 0x4B37;
    identity.Endpoints = {{0x01}, {0x81}, {0x82}, {0x02}};
    return identity;
}

// Piece Number: 64 bytes that name it, zero bytes included.
QByteArray PieceBytes(int Number)
{
    QByteArray bytes(Piece, '\0');
    for (int n = 0; n < Piece; ++n)
        bytes[n] = char((Number * 31 + n * 7) & 0xFF);
    return bytes;
}

bool Readable(int Fd)
{
    pollfd p{Fd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0;
}

// The platform opened on the emulated dock's first OUT endpoint, with what
// the dock took recorded. The testbed comes first: libusb must start inside it.
class LibUsbWrites : public ::testing::Test {
protected:
    LibUsbWrites() : Dock(Testbed, DockIdentity())
    {
        Dock.OnOut = [this](quint8 Endpoint, const QByteArray& Bytes) {
            std::lock_guard lock(TakenLock);
            if (Endpoint == 0x01)
                Taken += Bytes;
        };
        qunsetenv("KT4_USB_SIM");
        Dock.Plug();
        Usb = std::make_unique<TLibUsbPlatform>();
    }

    void SetUp() override
    {
        ASSERT_TRUE(Usb->Available());
        int error = 0;
        Pipe = Usb->OpenPipe(Dock.DevicePath(), OutIndex, error);
        ASSERT_GE(Pipe, 0) << "error " << error;
    }

    // Writes pieces First..Last-1, each taken whole at once.
    QByteArray WritePieces(int First, int Last)
    {
        QByteArray written;
        for (int n = First; n < Last; ++n) {
            const QByteArray bytes = PieceBytes(n);
            int error = 0;
            EXPECT_EQ(Usb->WritePipe(Pipe, bytes.constData(), Piece, error), Piece) << "piece " << n << " error " << error;
            written += bytes;
        }
        return written;
    }

    QByteArray TakenSoFar()
    {
        std::lock_guard lock(TakenLock);
        return Taken;
    }

    TUmockTestbed Testbed;
    TEmulatedUsbDevice Dock;
    std::unique_ptr<TLibUsbPlatform> Usb;
    int Pipe = -1;
    std::mutex TakenLock;
    QByteArray Taken;
};

}  // namespace

// Written while the dock answers NAK, a whole fill of writes is on its way at
// once; the dock then takes them, a write beyond the fill that waited for room
// among them, and more behind: all in the order written, nothing cancelled by
// the close.
TEST_F(LibUsbWrites, LeaveInTheOrderWrittenWithoutWaitingForTheDock)
{
    Dock.HoldOut();
    QByteArray written = WritePieces(0, TLibUsbPlatform::MaxWritesInFlight);
    EXPECT_EQ(Dock.PendingOut(), TLibUsbPlatform::MaxWritesInFlight) << "every write returned before the dock took it";
    EXPECT_TRUE(TakenSoFar().isEmpty());

    std::thread dock([this] { Dock.TakeHeldOut(); });  // while, or before, the next write waits for room
    written += WritePieces(TLibUsbPlatform::MaxWritesInFlight, TLibUsbPlatform::MaxWritesInFlight + 1);
    dock.join();
    written += WritePieces(TLibUsbPlatform::MaxWritesInFlight + 1, 300);
    Usb->ClosePipe(Pipe);

    EXPECT_EQ(Hex(TakenSoFar()), Hex(written)) << "all of it, in order, before the close returned";
    EXPECT_EQ(Dock.Requests(USBDEVFS_DISCARDURB), 0) << "the close cancelled nothing";
}

// A dock that takes nothing: the write beyond the fill fails with a time-out
// (the writes on their way time out too), and the pipe goes on afterwards.
TEST_F(LibUsbWrites, BeyondTheFillFailWhenTheDockTakesNothing)
{
    Dock.HoldOut();
    WritePieces(0, TLibUsbPlatform::MaxWritesInFlight);
    const QByteArray late = PieceBytes(99);
    int error = 0;
    EXPECT_EQ(Usb->WritePipe(Pipe, late.constData(), Piece, error), -1);
    EXPECT_EQ(error, ETIMEDOUT);

    ASSERT_TRUE(WaitFor([&] { return Dock.PendingOut() == 0; }, 30000)) << "the writes on their way timed out";
    Dock.TakeHeldOut();
    EXPECT_TRUE(Usb->PipeAlive(Pipe, error)) << "their failure was told with the write that waited";
    const QByteArray after = WritePieces(100, 101);
    EXPECT_TRUE(WaitFor([&] { return TakenSoFar().endsWith(after); }, 30000));
    EXPECT_FALSE(TakenSoFar().contains(late));
}

// A write that fails on its way is told once: by the pipe's wait descriptor
// and PipeAlive when no write follows (then the descriptor is quiet, so the
// receive thread sleeps), or by the next write, which then sends nothing.
TEST_F(LibUsbWrites, AFailureOnTheWayIsToldOnce)
{
    const struct {
        int UrbStatus;
        int Error;
    } cases[] = {
        {-EPIPE, EPIPE},     // the endpoint stalled
        {-EPROTO, EIO},      // a bus error
        {-ENODEV, ENODEV},   // the device failed it (it is still listed)
    };
    const int waitFd = Usb->WaitHandle(Pipe);
    ASSERT_GE(waitFd, 0);
    int number = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.UrbStatus);
        // Nothing follows: the descriptor speaks.
        Dock.FailNextOut(c.UrbStatus);
        WritePieces(number, number + 1);
        ++number;
        ASSERT_TRUE(WaitFor([&] { return Readable(waitFd); }, 30000));
        int error = 0;
        EXPECT_FALSE(Usb->PipeAlive(Pipe, error));
        EXPECT_EQ(error, c.Error);
        EXPECT_TRUE(Usb->PipeAlive(Pipe, error));
        EXPECT_FALSE(Readable(waitFd)) << "told: the descriptor is quiet again";

        // A write follows: it tells the failure and sends nothing.
        Dock.FailNextOut(c.UrbStatus);
        WritePieces(number, number + 1);
        ++number;
        ASSERT_TRUE(WaitFor([&] { return Readable(waitFd); }, 30000));
        const QByteArray refused = PieceBytes(1000 + number);
        EXPECT_EQ(Usb->WritePipe(Pipe, refused.constData(), Piece, error), -1);
        EXPECT_EQ(error, c.Error);
        EXPECT_FALSE(Readable(waitFd));
        EXPECT_TRUE(Usb->PipeAlive(Pipe, error));
        const QByteArray next = WritePieces(number, number + 1);
        ++number;
        EXPECT_TRUE(WaitFor([&] { return TakenSoFar().endsWith(next); }, 30000));
        EXPECT_FALSE(TakenSoFar().contains(refused));
    }
}

// Pulled with writes on their way: they fail, the pipe says the device has
// gone (and keeps saying it), later writes fail at once and the close returns.
TEST_F(LibUsbWrites, APulledDockFailsTheWritesOnTheirWay)
{
    Dock.HoldOut();
    WritePieces(0, 5);
    ASSERT_EQ(Dock.PendingOut(), 5);
    Dock.Pull();
    const int waitFd = Usb->WaitHandle(Pipe);
    ASSERT_TRUE(WaitFor([&] { return Readable(waitFd); }, 30000));
    // The wait descriptor may tell of the first failed transfer (reported
    // once) a moment before the device's removal has reached the pipe: wait
    // until the pipe stays dead.
    int error = 0;
    ASSERT_TRUE(WaitFor([&] {
        int first = 0, second = 0;
        return !Usb->PipeAlive(Pipe, first) && !Usb->PipeAlive(Pipe, second) && second == ENODEV;
    }, 30000));
    for (int n = 0; n < 2; ++n) {
        EXPECT_FALSE(Usb->PipeAlive(Pipe, error));
        EXPECT_EQ(error, ENODEV);
    }
    const QByteArray late = PieceBytes(5);
    EXPECT_EQ(Usb->WritePipe(Pipe, late.constData(), Piece, error), -1);
    EXPECT_EQ(error, ENODEV);
    Usb->ClosePipe(Pipe);
    EXPECT_EQ(Dock.PendingOut(), 0);
    EXPECT_TRUE(TakenSoFar().isEmpty());
}
