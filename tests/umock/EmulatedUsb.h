#pragma once
// A USB device on an emulated bus, for testing the libusb back end without
// hardware: umockdev gives it a sysfs entry and a /dev/bus/usb node that the
// real libusb enumerates and opens, and the usbfs requests on that node are
// answered here, as the kernel would answer them:
//
//   control transfers on endpoint 0 (the descriptors), answered at once;
//   bulk and interrupt OUT transfers, whose bytes go to OnOut, taken at once
//   or, while the device holds them (an endpoint that answers NAK), pending
//   until it lets them go; an OUT transfer may be made to fail (a stall);
//   bulk and interrupt IN transfers, held pending until Send() gives the
//   device something to say;
//   claiming with kernel-driver detach (DISCONNECT_CLAIM) granted, no kernel
//   driver bound (GETDRIVER and USBDEVFS_IOCTL answer ENODATA).
//
// Every open descriptor of the node keeps its own transfers (libusb opens the
// node a second time to fetch the configuration). The requests are answered
// on the testbed's worker thread, which never waits here.
//
// umockdev makes a device node a regular file, which always polls ready, and
// libusb's event thread would spin on it. The node is a FIFO instead, kept
// full (not writable) while nothing is ready to reap, so that libusb sleeps
// until a transfer completes: usbfs signals a completed transfer as POLLOUT.
//
// The process must run under umockdev's preload (umockdev-wrapper), and the
// testbed must exist before libusb is started; programs started from the
// process inherit the testbed (UMOCKDEV_DIR) and reach the same device.

#include <QByteArray>
#include <QString>
#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;

// An emulated sysfs and /dev of the process (and of the programs it starts).
// Released, it leaves no directory behind.
class TUmockTestbed {
public:
    TUmockTestbed();
    ~TUmockTestbed();
    TUmockTestbed(const TUmockTestbed&) = delete;
    TUmockTestbed& operator=(const TUmockTestbed&) = delete;

    UMockdevTestbed* Get() const { return FTestbed; }
    QString RootDir() const { return FRoot; }

    // Whether umockdev's preload library is loaded into this process.
    static bool Preloaded();
    // Starts the program again under umockdev-wrapper unless it already runs
    // under the preload; returns only then (or with the reason it could not).
    // AddressSanitizer no longer comes first among the loaded libraries there,
    // and is told to accept it.
    static void RunUnderPreload(int argc, char** argv);

private:
    UMockdevTestbed* FTestbed;
    QString FRoot;
};

struct TEmulatedEndpoint {
    quint8 Address = 0;     // bit 7: IN
    quint8 Attributes = 2;  // 2 bulk, 3 interrupt
    quint16 MaxPacket = 64;
};

struct TEmulatedIdentity {
    quint16 Vendor = 0;
    quint16 Product = 0;
    int Bus = 1;
    int Address = 2;
    int Port = 4;  // a device on port 4 of the root hub: sysfs name "1-4"
    std::vector<TEmulatedEndpoint> Endpoints;  // of the only interface
    QByteArray Configuration;  // the configuration descriptor; built from Endpoints when empty
};

class TEmulatedUsbDevice {
public:
    TEmulatedUsbDevice(TUmockTestbed& Testbed, TEmulatedIdentity Identity);
    ~TEmulatedUsbDevice();  // pulled first if still plugged
    TEmulatedUsbDevice(const TEmulatedUsbDevice&) = delete;
    TEmulatedUsbDevice& operator=(const TEmulatedUsbDevice&) = delete;

    // Bytes the host sent on an OUT endpoint (its address). Called on the
    // testbed's worker thread (or on the one that calls TakeHeldOut): must
    // not wait.
    std::function<void(quint8 Endpoint, const QByteArray& Bytes)> OnOut;
    // The host claimed or released the interface (worker thread, must not wait).
    std::function<void()> OnClaim;
    std::function<void()> OnRelease;

    // Puts the device on the bus: its sysfs entry and node, an "add" uevent.
    void Plug();
    // Pulls it out: a "remove" uevent, every pending transfer fails with
    // -ENODEV, the entry and node go; later requests fail with ENODEV.
    void Pull();
    bool Plugged() const;

    // Bytes for the host on an IN endpoint, delivered by the host's next IN
    // transfers there (a transfer takes at most its length of one Send's
    // bytes). Any thread.
    void Send(quint8 Endpoint, const QByteArray& Bytes);

    // While held, OUT transfers stay pending (the endpoint answers NAK);
    // TakeHeldOut completes those pending, in order, and stops holding.
    void HoldOut();
    void TakeHeldOut();
    // The next OUT transfer fails with this status (-EPIPE: the endpoint
    // stalled) and none of its bytes are taken. Any thread.
    void FailNextOut(int Status);
    int PendingOut() const;  // OUT transfers held pending

    // The device's name for the libusb back end: "usb:1-4:vvvv:pppp".
    QString DevicePath() const;
    QString IdText() const;  // "vvvv:pppp"
    QByteArray DeviceDescriptor() const;
    QByteArray ConfigurationDescriptor() const { return FConfiguration; }

    // What the host did.
    int Requests(unsigned long Request) const;  // usbfs requests of one kind
    int Requests() const;                       // of every kind
    int OpenDescriptors() const;                // descriptors that asked something and are still open
    bool Claimed() const;                       // claimed (with detach) and not released

private:
    struct TUrb {
        quint64 ClientAddress = 0;
        quint64 BufferAddress = 0;
        int BufferLength = 0;
        quint8 Type = 0;
        quint8 Endpoint = 0;
        int Status = 0;
        int ActualLength = 0;
        QByteArray In;   // bytes for the host, written into its buffer when reaped
        QByteArray Out;  // bytes from the host on a held OUT transfer
    };
    struct TClient {
        UMockdevIoctlClient* Client = nullptr;  // referenced
        std::deque<TUrb> Pending;               // submitted, not complete
        std::deque<TUrb> Done;                  // complete, to be reaped, in order
    };

    static int HandleIoctl(UMockdevIoctlBase* Handler, UMockdevIoctlClient* Client, void* Self);
    void Handle(UMockdevIoctlClient* Client);
    void Submit(UMockdevIoctlClient* Client, TClient& State);
    void Reap(UMockdevIoctlClient* Client, TClient& State);
    void Discard(UMockdevIoctlClient* Client, TClient& State);
    void Control(UMockdevIoctlClient* Client);
    // The answer to a control request: the bytes, or false to stall.
    bool ControlAnswer(const quint8 Setup[8], QByteArray& Answer) const;
    void ServeInLocked();   // matches pending IN transfers with bytes to send
    void UpdateNodeLocked();  // the node polls writable exactly while something is to be reaped
    TClient& ClientLocked(UMockdevIoctlClient* Client);
    void DropVanishedLocked();
    void BuildDescriptors();

    TUmockTestbed& FTestbed;
    TEmulatedIdentity FIdentity;
    QByteArray FConfiguration;
    QString FSysPath;
    QString FNode;      // /dev/bus/usb/BBB/DDD
    QString FNodeFile;  // the FIFO under the testbed's root
    UMockdevIoctlBase* FHandler = nullptr;

    // Set on this thread before the worker thread may answer requests, read by
    // it first: GLib's hand-over is invisible to ThreadSanitizer, this is not.
    std::atomic<int> FPublished{0};
    mutable std::mutex FLock;
    std::mutex FOutOrder;  // OUT bytes reach OnOut in the order taken (held ones before later ones)
    std::map<UMockdevIoctlClient*, TClient> FClients;
    std::map<quint8, std::deque<QByteArray>> FToSend;  // by IN endpoint
    std::map<unsigned long, int> FRequests;
    int FFifo = -1;
    bool FNodeWritable = true;
    bool FPlugged = false;
    bool FGone = false;
    int FClaims = 0;
    bool FHoldOut = false;
    int FFailNextOut = 0;
};
