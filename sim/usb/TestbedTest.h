// Base of GoogleTest fixtures on an emulated bus: a fresh bus for each test,
// and the test skipped where the emulation cannot run. A fixture that keeps
// more (clients, streams, links) lets them go first in its own TearDown and
// then calls this one's.
#ifndef QBSIM_USB_TESTBEDTEST_H
#define QBSIM_USB_TESTBEDTEST_H

#include "UsbTestbed.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace qbsim::usb {

class TestbedTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        if (!Testbed::usable(&why)) {
            GTEST_SKIP() << why;
        }
        testbed = std::make_unique<Testbed>();
    }

    void TearDown() override { testbed.reset(); }

    std::unique_ptr<Testbed> testbed;
};

} // namespace qbsim::usb

#endif
