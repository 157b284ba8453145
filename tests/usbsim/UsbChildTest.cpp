// The arrangement of the host program: this process hosts the emulated bus
// and is not preloaded itself; a bare libusb program runs as its child with
// the testbed's environment.
#include "RunProgram.h"
#include "UsbPreload.h"
#include "UsbTestbed.h"
#include "peer/EchoPeer.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

qbtest::ProgramOptions childOptions(const qbsim::usb::Testbed& testbed) {
    qbtest::ProgramOptions options;
    for (const auto& variable : testbed.childEnvironment()) {
        const auto eq = variable.find('=');
        options.environment[variable.substr(0, eq)] = variable.substr(eq + 1);
    }
    options.timeout = std::chrono::seconds(30);
    return options;
}

TEST(UsbChild, ChildWithTheTestbedEnvironmentTalksToTheModules) {
    if (!qbsim::usb::preloadInstalled()) {
        GTEST_SKIP() << "umockdev is not installed";
    }
    ASSERT_FALSE(qbsim::usb::preloadActive()) << "the host needs no preload";
    qbsim::EchoPeer first({0x5C000001, 0x010E});
    qbsim::EchoPeer second({0x5C000002, 0x010F});
    qbsim::usb::Testbed testbed;
    testbed.addModule(first);
    testbed.addModule(second);

    auto result =
        qbtest::RunProgram({QBTEST_BARE_CLIENT, "5C000002", "03492006"}, childOptions(testbed));
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_NE(result.out.find("modules: 2"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("answer: 03 49 20 06"), std::string::npos) << result.out;
    EXPECT_EQ(second.received(), (std::vector<uint8_t>{0x03, 0x49, 0x20, 0x06}));
    EXPECT_TRUE(first.received().empty());
}

// A module that restarts under a new serial number while the child runs:
// the child learns of it from the host's hot-plug events alone.
TEST(UsbChild, RunningChildSeesAModuleComeBackUnderANewIdentity) {
    if (!qbsim::usb::preloadInstalled()) {
        GTEST_SKIP() << "umockdev is not installed";
    }
    qbsim::EchoPeer peer({0x5C000003, 0x010E});
    qbsim::usb::Testbed testbed;
    qbsim::usb::Module& module = testbed.addModule(peer);

    qbtest::ProgramResult result;
    std::thread child([&] {
        result = qbtest::RunProgram({QBTEST_BARE_CLIENT, "--wait-for", "CDCAACCF", "10000"},
                                    childOptions(testbed));
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    peer.setIdentity({0xCDCAACCF, 0x010E});
    peer.absent(qbsim::Clock::now(), qbsim::Clock::now() + std::chrono::milliseconds(200));
    testbed.wake();
    EXPECT_TRUE(module.waitPlugged(false, std::chrono::seconds(2)));
    EXPECT_TRUE(module.waitPlugged(true, std::chrono::seconds(2)));
    child.join();
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_NE(result.out.find("at start: 5C000003\n"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("arrived: CDCAACCF"), std::string::npos) << result.out;
}

} // namespace
