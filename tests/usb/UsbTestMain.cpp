// The USB layer's tests run under a guarded Qt Core application: the layer has
// no windows, and this keeps the ThreadSanitizer build small.

#include "platform/ErrorDisplay.h"

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    TCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
