// GLib's headers first: Qt's keyword macros (signals) would break them.
#include <umockdev.h>

#include "tests/umock/EmulatedUsb.h"

#include "usb/LibUsbPlatform.h"

#include <QDir>
#include <QFile>
#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

constexpr int FifoSlot = 4096;  // one pipe buffer: taking it out makes the node writable

// usbfs capabilities offered: zero packets, bulk continuation, no packet size
// limit, reaping after a disconnect.
constexpr quint32 Capabilities = 0x01 | 0x02 | 0x04 | 0x10;

void Complete(UMockdevIoctlClient* Client, long Result, int Error = 0)
{
    umockdev_ioctl_client_complete(Client, Result, Error);
}

// A copy of client memory the pointer at Offset of Parent points to; written
// back when the request completes if it was changed. Null on failure.
UMockdevIoctlData* Resolve(UMockdevIoctlData* Parent, std::size_t Offset, std::size_t Length)
{
    if (!Parent || Length == 0)
        return nullptr;
    GError* error = nullptr;
    UMockdevIoctlData* data = umockdev_ioctl_data_resolve(Parent, Offset, Length, &error);
    if (error)
        g_error_free(error);
    return data;
}

struct TDataRef {
    UMockdevIoctlData* Data;
    explicit TDataRef(UMockdevIoctlData* D) : Data(D) {}
    ~TDataRef()
    {
        if (Data)
            g_object_unref(Data);
    }
    TDataRef(const TDataRef&) = delete;
    TDataRef& operator=(const TDataRef&) = delete;
    explicit operator bool() const { return Data != nullptr; }
    quint8* Bytes() const { return Data->data; }
};

void Put16(QByteArray& Bytes, int Value)
{
    Bytes.append(char(Value & 0xFF));
    Bytes.append(char((Value >> 8) & 0xFF));
}

}  // namespace

// ================================================================ testbed

TUmockTestbed::TUmockTestbed() : FTestbed(umockdev_testbed_new())
{
    gchar* root = umockdev_testbed_get_root_dir(FTestbed);
    FRoot = QString::fromLocal8Bit(root);
    g_free(root);
}

TUmockTestbed::~TUmockTestbed()
{
    g_object_unref(FTestbed);  // removes its directory
}

bool TUmockTestbed::Preloaded()
{
    return qEnvironmentVariable("LD_PRELOAD").contains(QStringLiteral("libumockdev-preload"));
}

void TUmockTestbed::RunUnderPreload(int argc, char** argv)
{
    if (Preloaded())
        return;
    QByteArray asan = qgetenv("ASAN_OPTIONS");
    if (!asan.contains("verify_asan_link_order")) {
        asan += (asan.isEmpty() ? "" : ":") + QByteArray("verify_asan_link_order=0");
        qputenv("ASAN_OPTIONS", asan);
    }
#ifdef KT4_UMOCK_TSAN_SUPPRESSIONS
    // Under ThreadSanitizer: the libraries it cannot see into are spared, and
    // the programs the tests start (after a fork of a process with threads)
    // may start threads of their own.
    QByteArray tsan = qgetenv("TSAN_OPTIONS");
    if (!tsan.contains("suppressions="))
        tsan += " suppressions=" KT4_UMOCK_TSAN_SUPPRESSIONS;
    if (!tsan.contains("die_after_fork"))
        tsan += " die_after_fork=0";
    qputenv("TSAN_OPTIONS", tsan.trimmed());
#endif
    std::vector<char*> arguments{const_cast<char*>("umockdev-wrapper")};
    arguments.insert(arguments.end(), argv, argv + argc);
    arguments.push_back(nullptr);
    ::execvp("umockdev-wrapper", arguments.data());
    std::perror("umockdev-wrapper (scripts/setup installs umockdev)");
}

// ================================================================ device

TEmulatedUsbDevice::TEmulatedUsbDevice(TUmockTestbed& Testbed, TEmulatedIdentity Identity)
    : FTestbed(Testbed), FIdentity(std::move(Identity))
{
    BuildDescriptors();
    FNode = QString::asprintf("/dev/bus/usb/%03d/%03d", FIdentity.Bus, FIdentity.Address);
    FNodeFile = FTestbed.RootDir() + FNode;
    FHandler = umockdev_ioctl_base_new();
    g_signal_connect(FHandler, "handle-ioctl", G_CALLBACK(&TEmulatedUsbDevice::HandleIoctl), this);
}

TEmulatedUsbDevice::~TEmulatedUsbDevice()
{
    if (Plugged())
        Pull();
    g_signal_handlers_disconnect_by_data(FHandler, this);
    if (FSysPath.size())
        umockdev_testbed_detach_ioctl(FTestbed.Get(), FNode.toLocal8Bit().constData(), nullptr);
    {
        std::lock_guard lock(FLock);  // a request being answered ends first
        for (auto& [client, state] : FClients)
            g_object_unref(client);
        FClients.clear();
    }
    g_object_unref(FHandler);
    if (FFifo >= 0)
        ::close(FFifo);
}

void TEmulatedUsbDevice::BuildDescriptors()
{
    if (!FIdentity.Configuration.isEmpty()) {
        FConfiguration = FIdentity.Configuration;
        return;
    }
    QByteArray endpoints;
    for (const TEmulatedEndpoint& e : FIdentity.Endpoints) {
        endpoints.append(char(7)).append(char(5)).append(char(e.Address)).append(char(e.Attributes));
        Put16(endpoints, e.MaxPacket);
        endpoints.append(char(0));
    }
    QByteArray c;
    c.append(char(9)).append(char(2));
    Put16(c, 9 + 9 + endpoints.size());
    c.append(char(1)).append(char(1)).append(char(0)).append(char(0x80)).append(char(50));
    c.append(char(9)).append(char(4)).append(char(0)).append(char(0)).append(char(FIdentity.Endpoints.size()));
    c.append(char(0xFF)).append(char(0)).append(char(0)).append(char(0));
    FConfiguration = c + endpoints;
}

QByteArray TEmulatedUsbDevice::DeviceDescriptor() const
{
    QByteArray d;
    d.append(char(18)).append(char(1));
    Put16(d, 0x0200);
    d.append(char(0)).append(char(0)).append(char(0)).append(char(64));
    Put16(d, FIdentity.Vendor);
    Put16(d, FIdentity.Product);
    Put16(d, 0x0100);
    d.append(char(0)).append(char(0)).append(char(0)).append(char(1));
    return d;
}

QString TEmulatedUsbDevice::DevicePath() const
{
    return TLibUsbPlatform::DevicePath(FIdentity.Bus, {FIdentity.Port}, {FIdentity.Vendor, FIdentity.Product});
}

QString TEmulatedUsbDevice::IdText() const
{
    return QString::asprintf("%04x:%04x", FIdentity.Vendor, FIdentity.Product);
}

// The entry is complete (descriptors, node, requests answered) before the
// "add" uevent that counts: the one add_device sends comes before the binary
// descriptors exist, and a libusb listening then skips the device.
void TEmulatedUsbDevice::Plug()
{
    if (Plugged())
        return;
    const QByteArray name = QString::asprintf("%d-%d", FIdentity.Bus, FIdentity.Port).toLatin1();
    const QByteArray busnum = QByteArray::number(FIdentity.Bus);
    const QByteArray devnum = QByteArray::number(FIdentity.Address);
    const QByteArray vendor = QString::asprintf("%04x", FIdentity.Vendor).toLatin1();
    const QByteArray product = QString::asprintf("%04x", FIdentity.Product).toLatin1();
    const QByteArray node = FNode.toLatin1();
    const QByteArray busText = QString::asprintf("%03d", FIdentity.Bus).toLatin1();
    const QByteArray devText = QString::asprintf("%03d", FIdentity.Address).toLatin1();
    const QByteArray productText = vendor + "/" + product + "/100";
    const QByteArray dev = "189:" + QByteArray::number((FIdentity.Bus - 1) * 128 + FIdentity.Address - 1);
    const char* attributes[] = {"busnum", busnum.constData(), "devnum", devnum.constData(), "speed", "480",
                                "idVendor", vendor.constData(), "idProduct", product.constData(),
                                "bConfigurationValue", "1", "bNumConfigurations", "1", "bNumInterfaces", " 1",
                                "dev", dev.constData(), nullptr};
    const char* properties[] = {"DEVNAME", node.constData(), "DEVTYPE", "usb_device", "BUSNUM", busText.constData(),
                                "DEVNUM", devText.constData(), "PRODUCT", productText.constData(),
                                "ID_VENDOR_ID", vendor.constData(), "ID_MODEL_ID", product.constData(), nullptr};
    gchar* path = umockdev_testbed_add_devicev(FTestbed.Get(), "usb", name.constData(), nullptr,
                                               const_cast<gchar**>(attributes), const_cast<gchar**>(properties));
    FSysPath = QString::fromLocal8Bit(path);
    g_free(path);
    QByteArray descriptors = DeviceDescriptor() + FConfiguration;
    umockdev_testbed_set_attribute_binary(FTestbed.Get(), FSysPath.toLocal8Bit().constData(), "descriptors",
                                          reinterpret_cast<guint8*>(descriptors.data()), int(descriptors.size()));

    // The node: a FIFO, full while nothing is to be reaped.
    QDir().mkpath(QFileInfo(FNodeFile).path());
    QFile::remove(FNodeFile);
    if (::mkfifo(FNodeFile.toLocal8Bit().constData(), 0666) != 0)
        throw std::runtime_error("mkfifo " + FNodeFile.toStdString() + ": " + std::strerror(errno));
    {
        std::lock_guard lock(FLock);
        if (FFifo >= 0)
            ::close(FFifo);
        FFifo = ::open(FNodeFile.toLocal8Bit().constData(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (FFifo < 0)
            throw std::runtime_error("open " + FNodeFile.toStdString() + ": " + std::strerror(errno));
        char fill[FifoSlot] = {};
        while (::write(FFifo, fill, sizeof fill) == ssize_t(sizeof fill)) {
        }
        FNodeWritable = false;
        FGone = false;
        FPlugged = true;
        UpdateNodeLocked();
    }
    FPublished.fetch_add(1, std::memory_order_release);
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(FTestbed.Get(), node.constData(), FHandler, &error)) {
        const std::string text = error ? error->message : "?";
        if (error)
            g_error_free(error);
        // Attached already (plugged before): the same handler answers.
        if (text.find("already") == std::string::npos)
            throw std::runtime_error("attach_ioctl: " + text);
    }
    umockdev_testbed_uevent(FTestbed.Get(), FSysPath.toLocal8Bit().constData(), "add");
}

void TEmulatedUsbDevice::Pull()
{
    if (!Plugged())
        return;
    umockdev_testbed_uevent(FTestbed.Get(), FSysPath.toLocal8Bit().constData(), "remove");
    {
        std::lock_guard lock(FLock);
        FGone = true;
        FPlugged = false;
        for (auto& [client, state] : FClients) {
            for (TUrb& urb : state.Pending) {
                urb.Status = -ENODEV;
                urb.ActualLength = 0;
                state.Done.push_back(urb);
            }
            state.Pending.clear();
        }
        FToSend.clear();
        UpdateNodeLocked();
    }
    umockdev_testbed_remove_device(FTestbed.Get(), FSysPath.toLocal8Bit().constData());
}

bool TEmulatedUsbDevice::Plugged() const
{
    std::lock_guard lock(FLock);
    return FPlugged;
}

void TEmulatedUsbDevice::Send(quint8 Endpoint, const QByteArray& Bytes)
{
    if (Bytes.isEmpty())
        return;
    std::lock_guard lock(FLock);
    if (FGone || !FPlugged)
        return;
    FToSend[Endpoint].push_back(QByteArray(Bytes.constData(), Bytes.size()));
    ServeInLocked();
    UpdateNodeLocked();
}

void TEmulatedUsbDevice::HoldOut()
{
    std::lock_guard lock(FLock);
    FHoldOut = true;
}

void TEmulatedUsbDevice::TakeHeldOut()
{
    std::vector<TUrb> taken;
    std::lock_guard order(FOutOrder);
    {
        std::lock_guard lock(FLock);
        FHoldOut = false;
        for (auto& [client, state] : FClients) {
            for (auto urb = state.Pending.begin(); urb != state.Pending.end();) {
                if (urb->Endpoint & 0x80) {
                    ++urb;
                    continue;
                }
                urb->ActualLength = urb->BufferLength;
                urb->Status = 0;
                taken.push_back(*urb);
                state.Done.push_back(*urb);
                urb = state.Pending.erase(urb);
            }
        }
        UpdateNodeLocked();
    }
    for (const TUrb& urb : taken)
        if (OnOut && !urb.Out.isEmpty())
            OnOut(urb.Endpoint, urb.Out);
}

void TEmulatedUsbDevice::FailNextOut(int Status)
{
    std::lock_guard lock(FLock);
    FFailNextOut = Status;
}

int TEmulatedUsbDevice::PendingOut() const
{
    std::lock_guard lock(FLock);
    int count = 0;
    for (const auto& [client, state] : FClients)
        count += int(std::count_if(state.Pending.begin(), state.Pending.end(),
                                   [](const TUrb& u) { return !(u.Endpoint & 0x80); }));
    return count;
}

int TEmulatedUsbDevice::Requests(unsigned long Request) const
{
    std::lock_guard lock(FLock);
    const auto found = FRequests.find(Request);
    return found == FRequests.end() ? 0 : found->second;
}

int TEmulatedUsbDevice::Requests() const
{
    std::lock_guard lock(FLock);
    int total = 0;
    for (const auto& [request, count] : FRequests)
        total += count;
    return total;
}

int TEmulatedUsbDevice::OpenDescriptors() const
{
    std::lock_guard lock(FLock);
    return int(std::count_if(FClients.begin(), FClients.end(),
                             [](const auto& c) { return umockdev_ioctl_client_get_connected(c.first); }));
}

bool TEmulatedUsbDevice::Claimed() const
{
    std::lock_guard lock(FLock);
    return FClaims > 0;
}

// ---------------------------------------------------------------- the node

void TEmulatedUsbDevice::UpdateNodeLocked()
{
    if (FFifo < 0)
        return;
    const bool ready = std::any_of(FClients.begin(), FClients.end(), [](const auto& c) { return !c.second.Done.empty(); });
    char slot[FifoSlot];
    if (ready && !FNodeWritable) {
        FNodeWritable = ::read(FFifo, slot, sizeof slot) == ssize_t(sizeof slot);
    } else if (!ready && FNodeWritable) {
        std::memset(slot, 0, sizeof slot);
        FNodeWritable = ::write(FFifo, slot, sizeof slot) != ssize_t(sizeof slot);
    }
}

void TEmulatedUsbDevice::ServeInLocked()
{
    for (auto& [client, state] : FClients) {
        for (auto urb = state.Pending.begin(); urb != state.Pending.end();) {
            auto& queue = FToSend[urb->Endpoint];
            if (!(urb->Endpoint & 0x80) || queue.empty()) {
                ++urb;
                continue;
            }
            QByteArray& front = queue.front();
            const int n = std::min<int>(urb->BufferLength, front.size());
            urb->In = front.left(n);
            urb->ActualLength = n;
            urb->Status = 0;
            front.remove(0, n);
            if (front.isEmpty())
                queue.pop_front();
            state.Done.push_back(*urb);
            urb = state.Pending.erase(urb);
        }
    }
}

TEmulatedUsbDevice::TClient& TEmulatedUsbDevice::ClientLocked(UMockdevIoctlClient* Client)
{
    auto found = FClients.find(Client);
    if (found == FClients.end()) {
        g_object_ref(Client);
        found = FClients.emplace(Client, TClient{Client, {}, {}}).first;
    }
    return found->second;
}

// A descriptor closed with transfers pending (a program that ended) must not
// take the bytes meant for the next one.
void TEmulatedUsbDevice::DropVanishedLocked()
{
    for (auto c = FClients.begin(); c != FClients.end();) {
        if (umockdev_ioctl_client_get_connected(c->first)) {
            ++c;
            continue;
        }
        g_object_unref(c->first);
        c = FClients.erase(c);
    }
}

// ---------------------------------------------------------------- usbfs

int TEmulatedUsbDevice::HandleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* Client, void* Self)
{
    static_cast<TEmulatedUsbDevice*>(Self)->Handle(Client);
    return TRUE;
}

void TEmulatedUsbDevice::Handle(UMockdevIoctlClient* Client)
{
    [[maybe_unused]] const int published = FPublished.load(std::memory_order_acquire);
    const unsigned long request = umockdev_ioctl_client_get_request(Client);
    bool gone;
    TClient* state;  // only this thread adds or drops clients: it stays where it is
    {
        std::lock_guard lock(FLock);
        ++FRequests[request];
        DropVanishedLocked();
        state = &ClientLocked(Client);
        gone = FGone;
    }
    switch (request) {
    case USBDEVFS_REAPURBNDELAY:
    case USBDEVFS_REAPURB:  // never waits here: answered as REAPURBNDELAY
        Reap(Client, *state);
        return;
    case USBDEVFS_DISCARDURB:
        Discard(Client, *state);
        return;
    case USBDEVFS_RELEASEINTERFACE: {
        {
            std::lock_guard lock(FLock);
            FClaims = std::max(0, FClaims - 1);
        }
        Complete(Client, 0);
        if (OnRelease)
            OnRelease();
        return;
    }
    default:
        break;
    }
    if (gone) {
        Complete(Client, -1, ENODEV);
        return;
    }
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(Client);
    switch (request) {
    case USBDEVFS_SUBMITURB:
        Submit(Client, *state);
        return;
    case USBDEVFS_CONTROL:
        Control(Client);
        return;
    case USBDEVFS_GET_CAPABILITIES: {
        TDataRef caps(Resolve(arg, 0, sizeof(quint32)));
        if (!caps) {
            Complete(Client, -1, EFAULT);
            return;
        }
        std::memcpy(caps.Bytes(), &Capabilities, sizeof Capabilities);
        Complete(Client, 0);
        return;
    }
    case USBDEVFS_DISCONNECT_CLAIM:
    case USBDEVFS_CLAIMINTERFACE: {
        {
            std::lock_guard lock(FLock);
            ++FClaims;
        }
        Complete(Client, 0);
        if (OnClaim)
            OnClaim();
        return;
    }
    case USBDEVFS_GETDRIVER:
    case USBDEVFS_IOCTL:  // no kernel driver to give back
        Complete(Client, -1, ENODATA);
        return;
    case USBDEVFS_CONNECTINFO: {
        TDataRef info(Resolve(arg, 0, sizeof(usbdevfs_connectinfo)));
        if (!info) {
            Complete(Client, -1, EFAULT);
            return;
        }
        usbdevfs_connectinfo connect{unsigned(FIdentity.Address), 0};
        std::memcpy(info.Bytes(), &connect, sizeof connect);
        Complete(Client, 0);
        return;
    }
    case USBDEVFS_GET_SPEED:
        Complete(Client, 3);  // high speed
        return;
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESETEP:
    case USBDEVFS_RESET:
        Complete(Client, 0);
        return;
    default:
        Complete(Client, -1, ENOTTY);
        return;
    }
}

void TEmulatedUsbDevice::Submit(UMockdevIoctlClient* Client, TClient& State)
{
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(Client);
    TUrb urb;
    std::memcpy(&urb.ClientAddress, arg->data, sizeof urb.ClientAddress);
    TDataRef data(Resolve(arg, 0, sizeof(usbdevfs_urb)));
    if (!data) {
        Complete(Client, -1, EFAULT);
        return;
    }
    usbdevfs_urb submitted;
    std::memcpy(&submitted, data.Bytes(), sizeof submitted);
    urb.BufferAddress = reinterpret_cast<quint64>(submitted.buffer);
    urb.BufferLength = submitted.buffer_length;
    urb.Type = submitted.type;
    urb.Endpoint = submitted.endpoint;
    const bool in = (urb.Endpoint & 0x80) != 0;

    if (urb.Type == USBDEVFS_URB_TYPE_CONTROL) {
        TDataRef buffer(Resolve(data.Data, offsetof(usbdevfs_urb, buffer), std::size_t(std::max(urb.BufferLength, 0))));
        if (!buffer || urb.BufferLength < 8) {
            Complete(Client, -1, EINVAL);
            return;
        }
        const quint8* setup = buffer.Bytes();
        const int wanted = setup[6] | (setup[7] << 8);
        QByteArray answer;
        if (!ControlAnswer(setup, answer)) {
            urb.Status = -EPIPE;
        } else if (setup[0] & 0x80) {
            const int n = std::min({int(answer.size()), wanted, urb.BufferLength - 8});
            std::memcpy(buffer.Bytes() + 8, answer.constData(), std::size_t(n));
            urb.ActualLength = n;
        } else {
            urb.ActualLength = wanted;
        }
        {
            std::lock_guard lock(FLock);
            State.Done.push_back(urb);
            UpdateNodeLocked();
        }
        Complete(Client, 0);
        return;
    }
    if (urb.Type != USBDEVFS_URB_TYPE_BULK && urb.Type != USBDEVFS_URB_TYPE_INTERRUPT) {
        Complete(Client, -1, EINVAL);
        return;
    }
    if (!in) {
        QByteArray bytes;
        if (urb.BufferLength > 0) {
            TDataRef buffer(Resolve(data.Data, offsetof(usbdevfs_urb, buffer), std::size_t(urb.BufferLength)));
            if (!buffer) {
                Complete(Client, -1, EFAULT);
                return;
            }
            bytes = QByteArray(reinterpret_cast<const char*>(buffer.Bytes()), urb.BufferLength);
        }
        urb.ActualLength = urb.BufferLength;
        bool taken = true;
        std::lock_guard order(FOutOrder);
        {
            std::lock_guard lock(FLock);
            if (const int status = std::exchange(FFailNextOut, 0); status != 0) {
                urb.Status = status;
                urb.ActualLength = 0;
                State.Done.push_back(urb);
                taken = false;
            } else if (FHoldOut) {
                urb.ActualLength = 0;
                urb.Out = bytes;
                State.Pending.push_back(urb);
                taken = false;
            } else {
                State.Done.push_back(urb);
            }
            UpdateNodeLocked();
        }
        Complete(Client, 0);
        if (taken && OnOut && !bytes.isEmpty())
            OnOut(urb.Endpoint, bytes);
        return;
    }
    {
        std::lock_guard lock(FLock);
        State.Pending.push_back(urb);
        ServeInLocked();
        UpdateNodeLocked();
    }
    Complete(Client, 0);
}

void TEmulatedUsbDevice::Reap(UMockdevIoctlClient* Client, TClient& State)
{
    TUrb urb;
    bool empty = false;
    bool gone = false;
    {
        std::lock_guard lock(FLock);
        if (State.Done.empty()) {
            UpdateNodeLocked();
            gone = FGone;
            empty = true;
        } else {
            urb = State.Done.front();
            State.Done.pop_front();
            UpdateNodeLocked();
        }
    }
    if (empty) {
        Complete(Client, -1, gone ? ENODEV : EAGAIN);
        return;
    }
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(Client);
    TDataRef slot(Resolve(arg, 0, sizeof(void*)));  // where the host wants the URB's address
    if (!slot) {
        Complete(Client, -1, EFAULT);
        return;
    }
    std::memcpy(slot.Bytes(), &urb.ClientAddress, sizeof urb.ClientAddress);
    TDataRef reaped(Resolve(slot.Data, 0, sizeof(usbdevfs_urb)));
    if (!reaped) {
        Complete(Client, -1, EFAULT);
        return;
    }
    auto* out = reinterpret_cast<usbdevfs_urb*>(reaped.Bytes());
    out->status = urb.Status;
    out->actual_length = urb.ActualLength;
    if (!urb.In.isEmpty()) {
        TDataRef buffer(Resolve(reaped.Data, offsetof(usbdevfs_urb, buffer), std::size_t(urb.In.size())));
        if (buffer)
            std::memcpy(buffer.Bytes(), urb.In.constData(), std::size_t(urb.In.size()));
    }
    Complete(Client, 0);
}

void TEmulatedUsbDevice::Discard(UMockdevIoctlClient* Client, TClient& State)
{
    quint64 address = 0;
    std::memcpy(&address, umockdev_ioctl_client_get_arg(Client)->data, sizeof address);
    bool found = false;
    {
        std::lock_guard lock(FLock);
        const auto pending = std::find_if(State.Pending.begin(), State.Pending.end(),
                                          [&](const TUrb& u) { return u.ClientAddress == address; });
        if (pending != State.Pending.end()) {
            TUrb urb = *pending;
            State.Pending.erase(pending);
            urb.Status = -ENOENT;  // cancelled
            urb.ActualLength = 0;
            State.Done.push_back(urb);
            UpdateNodeLocked();
            found = true;
        }
    }
    if (found)
        Complete(Client, 0);
    else
        Complete(Client, -1, EINVAL);
}

void TEmulatedUsbDevice::Control(UMockdevIoctlClient* Client)
{
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(Client);
    TDataRef transfer(Resolve(arg, 0, sizeof(usbdevfs_ctrltransfer)));
    if (!transfer) {
        Complete(Client, -1, EFAULT);
        return;
    }
    usbdevfs_ctrltransfer c;
    std::memcpy(&c, transfer.Bytes(), sizeof c);
    const quint8 setup[8] = {c.bRequestType, c.bRequest, quint8(c.wValue), quint8(c.wValue >> 8),
                             quint8(c.wIndex), quint8(c.wIndex >> 8), quint8(c.wLength), quint8(c.wLength >> 8)};
    QByteArray answer;
    if (!ControlAnswer(setup, answer)) {
        Complete(Client, -1, EPIPE);
        return;
    }
    if (!(c.bRequestType & 0x80)) {
        Complete(Client, c.wLength);
        return;
    }
    const int n = std::min<int>(answer.size(), c.wLength);
    if (n > 0) {
        TDataRef data(Resolve(transfer.Data, offsetof(usbdevfs_ctrltransfer, data), std::size_t(n)));
        if (data)
            std::memcpy(data.Bytes(), answer.constData(), std::size_t(n));
    }
    Complete(Client, n);
}

bool TEmulatedUsbDevice::ControlAnswer(const quint8 Setup[8], QByteArray& Answer) const
{
    const quint8 type = Setup[0];
    const quint8 request = Setup[1];
    const int value = Setup[2] | (Setup[3] << 8);
    if ((type & 0x60) != 0)
        return false;  // no class or vendor requests
    if (!(type & 0x80))
        return request == 0x01 || request == 0x03 || request == 0x09 || request == 0x0B;  // features, configuration, interface
    switch (request) {
    case 0x00:  // GET_STATUS
        Answer = QByteArray(2, '\0');
        return true;
    case 0x08:  // GET_CONFIGURATION
        Answer = QByteArray(1, '\1');
        return true;
    case 0x0A:  // GET_INTERFACE
        Answer = QByteArray(1, '\0');
        return true;
    case 0x06:  // GET_DESCRIPTOR
        switch (value >> 8) {
        case 1:
            Answer = DeviceDescriptor();
            return true;
        case 2:
            if ((value & 0xFF) != 0)
                return false;
            Answer = FConfiguration;
            return true;
        case 3:
            if ((value & 0xFF) != 0)
                return false;
            Answer = QByteArray("\x04\x03\x09\x04", 4);  // English (US), no strings
            return true;
        default:
            return false;
        }
    default:
        return false;
    }
}
