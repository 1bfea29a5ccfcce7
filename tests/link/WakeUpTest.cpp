// A wake-up descriptor that the system refuses (the process has used up its
// descriptors): the link's receive thread and the USB device's thread are not
// started, and each says so with an error event instead of sleeping for good.

#include "link/KeskLink.h"
#include "link/KeskLinkThread.h"
#include "tests/TestSupport.h"
#include "usb/SimulatedUsb.h"
#include "usb/USBPipe.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// While it lives no new descriptor can be made: the limit is the lowest free
// one. (The sanitizers' type checks take a descriptor the first time they meet
// a type, so each part is made once as usual before.)
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

}  // namespace

TEST(WakeUp, ARefusedWakeUpDescriptorIsAnErrorEventNotASilentSleep)
{
    TScriptedDialogsScope dialogs;
    TKeskLink link;
    TSimulatedUsb bus;
    const struct {
        const char* Name;
        int Code;
        // Makes the part while no descriptor can be made, then uses it: the error raised.
        std::function<TErrorInfo()> Run;
    } rows[] = {
        {"the link's receive thread", ecLinkWakeUp,
         [&] {
             TErrorInfo told;
             link.OnError = [&](QObject*, const TErrorInfo& Error) { told = Error; };
             std::unique_ptr<TKeskLinkThread> thread = std::make_unique<TKeskLinkThread>(&link);
             thread.reset();  // one made as usual first (see TNoFreeDescriptors)
             {
                 TNoFreeDescriptors none;
                 thread = std::make_unique<TKeskLinkThread>(&link);
             }
             EXPECT_TRUE(WaitFor([&] { return told.Code != 0; }));
             EXPECT_EQ(thread->Turns(), 0u);
             return told;  // and the thread, never started, goes at once
         }},
        {"the USB device's thread", ecUsbWakeUp,
         [&] {
             TErrorInfo told;
             auto device = std::make_unique<TUSBDevice>(nullptr, &bus);
             device.reset();
             {
                 TNoFreeDescriptors none;
                 device = std::make_unique<TUSBDevice>(nullptr, &bus);
             }
             device->OnError = [&](QObject*, const TErrorInfo& Error) { told = Error; };
             EXPECT_FALSE(device->Connect());
             return told;
         }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Name);
        const TErrorInfo told = row.Run();
        EXPECT_EQ(told.Code, row.Code);
        EXPECT_TRUE(told.Text.endsWith("no wake-up: Too many open files!")) << told.Text.toStdString();
    }
    EXPECT_TRUE(dialogs->Records().isEmpty());
}
