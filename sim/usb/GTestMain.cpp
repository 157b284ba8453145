// main() for GoogleTest programs with emulated USB devices: the program runs
// with libumockdev-preload when it is installed.
#include "UsbPreload.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    qbsim::usb::reexecWithPreload(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
