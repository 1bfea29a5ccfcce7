// A wake-up descriptor that the system refuses (the process has used up its
// descriptors): the USB device's thread is not started, and says so with an
// error event instead of sleeping for good.

#include "tests/TestSupport.h"
#include "usb/SimulatedUsb.h"
#include "usb/USBPipe.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <optional>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// While it lives no new descriptor can be made: the limit is the lowest free one.
class TNoFreeDescriptors {
public:
    TNoFreeDescriptors()
    {
        ::getrlimit(RLIMIT_NOFILE, &FSaved);
        const int lowestFree = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        ::close(lowestFree);
        rlimit none = FSaved;
        none.rlim_cur = rlim_t(lowestFree);
        ::setrlimit(RLIMIT_NOFILE, &none);
    }
    ~TNoFreeDescriptors() { ::setrlimit(RLIMIT_NOFILE, &FSaved); }

private:
    rlimit FSaved{};
};

// A part made while no descriptor can be made. (One is made as usual first:
// the sanitizers' type checks take a descriptor when they first meet a type.)
template <class T, class... TArgs>
std::unique_ptr<T> MadeWithoutDescriptors(TArgs... Args)
{
    std::make_unique<T>(Args...).reset();
    TNoFreeDescriptors none;
    return std::make_unique<T>(Args...);
}

}  // namespace

TEST(WakeUp, ARefusedWakeUpDescriptorIsAnErrorEventNotASilentSleep)
{
    TScriptedDialogsScope dialogs;
    QList<TErrorInfo> told;
    const auto tell = [&](QObject*, const TErrorInfo& Error) { told << Error; };

    TSimulatedUsb bus;
    auto device = MadeWithoutDescriptors<TUSBDevice>(nullptr, &bus);
    device->OnError = tell;
    std::optional<bool> connected;
    device->Connect([&](bool Connected) { connected = Connected; });
    EXPECT_EQ(connected, std::optional<bool>(false)) << "told at once";
    device.reset();

    ASSERT_EQ(told.size(), 1);
    EXPECT_EQ(told[0].Code, ecUsbWakeUp);
    EXPECT_TRUE(told[0].Text.endsWith("no wake-up: Too many open files!")) << told[0].Text.toStdString();
    EXPECT_TRUE(dialogs->Records().isEmpty());
}
