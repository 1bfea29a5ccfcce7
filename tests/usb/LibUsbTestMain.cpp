// The libusb back end's tests on the emulated bus run under umockdev's preload
// library: started without it, the program starts itself again under
// umockdev-wrapper. AddressSanitizer then no longer comes first among the
// loaded libraries, which it would refuse.

#include "platform/ErrorDisplay.h"
#include "tests/umock/EmulatedUsb.h"

#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <unistd.h>
#include <vector>

int main(int argc, char** argv)
{
    if (!TUmockTestbed::Preloaded()) {
        QByteArray asan = qgetenv("ASAN_OPTIONS");
        if (!asan.contains("verify_asan_link_order")) {
            asan += (asan.isEmpty() ? "" : ":") + QByteArray("verify_asan_link_order=0");
            qputenv("ASAN_OPTIONS", asan);
        }
        std::vector<char*> arguments{const_cast<char*>("umockdev-wrapper")};
        arguments.insert(arguments.end(), argv, argv + argc);
        arguments.push_back(nullptr);
        ::execvp("umockdev-wrapper", arguments.data());
        std::perror("umockdev-wrapper (install umockdev: scripts/setup)");
        return 1;
    }
    ::testing::InitGoogleTest(&argc, argv);
    TCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
