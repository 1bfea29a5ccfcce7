#pragma once
// Real docks through libusb-1.0.
//
// Linux has no device interface classes for the docks, so a family is found
// by the USB vendor and product IDs listed in its environment variable
// (KT4_USB_KELO6, KT4_USB_KELOEXPRESS, KT4_USB_MPKELOEXPRESS, KT4_USB_MIRTAL)
// as "vvvv:pppp[,vvvv:pppp]"; there are no built-in IDs, and a family without
// its variable lists no device. A device path names the device by its place
// on the bus and its IDs, "usb:1-4.2:vvvv:pppp", so it stays the same while
// the dock stays in its port. The configuration descriptor is the device's
// own, fetched with a standard descriptor request.
//
// Opening an endpoint claims the first interface (detaching a kernel driver
// that holds it); closing the last pipe of a device releases it. An IN
// endpoint always has a transfer pending; what arrives waits in the pipe until
// read, and the pipe's wait descriptor tells the receive thread. A write to an
// OUT endpoint is submitted and returns: up to MaxWritesInFlight writes of a
// pipe are on their way at once, in the order written (the kernel keeps an
// endpoint's transfers in order), and a write beyond them waits for the oldest
// to end. A write that fails on its way is told by the pipe's next write, or
// by its wait descriptor and PipeAlive when none follows; closing the pipe
// lets what is on its way arrive first. A libusb event thread completes the
// transfers and, where the platform has hot-plug notification, learns at once
// that a device has left, which fails its pipes and their pending writes;
// elsewhere the next failed transfer tells.

#include "usb/USBPlatform.h"
#include "usb/WakeSignal.h"

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

struct libusb_context;
struct libusb_device;
struct libusb_device_handle;
struct libusb_transfer;

struct TUsbId {
    quint16 Vendor = 0;
    quint16 Product = 0;
    bool operator==(const TUsbId&) const = default;
};

class TLibUsbPlatform : public TUSBPlatform {
public:
    TLibUsbPlatform();
    ~TLibUsbPlatform() override;

    // The IDs of a list "vvvv:pppp[,vvvv:pppp]" (blanks and semicolons separate
    // too); entries that are not two 4-digit hexadecimal numbers are skipped
    // and given back in Rejected.
    static std::vector<TUsbId> ParseIdList(const QString& Text, QStringList* Rejected = nullptr);
    // The environment variable that lists a family's IDs; empty for a class
    // that is no dock family.
    static QString IdVariable(const TGUID& InterfaceClass);
    // "usb:<bus>-<port>[.<port>...]:vvvv:pppp".
    static QString DevicePath(int Bus, const std::vector<int>& Ports, TUsbId Id);

    // Writes of one OUT pipe on their way at once.
    static constexpr int MaxWritesInFlight = 32;

    // Whether libusb could be started (false on a machine without a USB bus).
    bool Available() const { return FContext != nullptr; }

    QStringList EnumerateDevices(const TGUID& InterfaceClass) override;
    TFetchResult FetchConfiguration(const QString& Path, QByteArray& Descriptor, int& Error) override;
    int OpenPipe(const QString& Path, int Index, int& Error) override;
    void ClosePipe(int Handle) override;
    int ReadPipe(int Handle, char* Buffer, int Size, int& Error) override;
    int WritePipe(int Handle, const char* Data, int Size, int& Error) override;
    int WaitHandle(int Handle) override;
    bool PipeAlive(int Handle, int& Error) override;

private:
    struct TOpenDevice {
        QString Path;
        libusb_device_handle* Handle = nullptr;
        libusb_device* Device = nullptr;
        int Interface = 0;
        int Users = 0;
        bool Gone = false;
    };
    struct TPipe {
        TLibUsbPlatform* Owner = nullptr;
        TOpenDevice* Device = nullptr;
        unsigned char Address = 0;
        unsigned char Type = 0;  // bmAttributes & 3
        TWakeSignal Wake;
        // IN endpoints.
        libusb_transfer* Transfer = nullptr;
        std::vector<unsigned char> Buffer;
        QByteArray Arrived;
        int Error = 0;
        bool InFlight = false;
        bool Closing = false;
        // OUT endpoints: the writes on their way, oldest first, with their
        // numbers; the first failure not yet told. A failure told stands for
        // every write that was on its way then: theirs are not told again.
        std::vector<std::pair<libusb_transfer*, quint64>> Writes;
        quint64 WritesSubmitted = 0;
        quint64 ToldUpTo = 0;  // writes numbered below it failed, if they fail, with the failure told
        int WriteError = 0;
    };

    static void TransferDone(libusb_transfer* Transfer);
    static void WriteDone(libusb_transfer* Transfer);
    static int DeviceLeft(libusb_context* Context, libusb_device* Device, int Event, void* Self);
    void HandleEvents();
    libusb_device* FindDevice(const QString& Path);  // referenced; nullptr when absent
    TOpenDevice* OpenDevice(const QString& Path, int& Error);
    void ReleaseDevice(TOpenDevice* Device);
    bool SubmitLocked(TPipe& Pipe);  // FLock held
    TPipe* PipeLocked(int Handle);

    libusb_context* FContext = nullptr;
    std::mutex FLock;
    std::condition_variable FChanged;
    std::map<QString, TOpenDevice*> FDevices;  // open devices by path in lower case; each lives while its pipes do
    std::map<int, std::unique_ptr<TPipe>> FPipes;
    int FNextHandle = 1;
    int FHotplug = 0;
    bool FHasHotplug = false;
    std::atomic<bool> FStopEvents{false};
    std::thread FEvents;
};
