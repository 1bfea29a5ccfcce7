// The libusb back end's tests on the emulated bus run under umockdev's preload
// library: started without it, the program starts itself again under
// umockdev-wrapper.

#include "platform/ErrorDisplay.h"
#include "tests/umock/EmulatedUsb.h"

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    TUmockTestbed::RunUnderPreload(argc, argv);
    if (!TUmockTestbed::Preloaded())
        return 1;
    ::testing::InitGoogleTest(&argc, argv);
    TCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
