// The one-line module description.
#include "Bench.h"
#include "ModuleDescription.h"

#include <gtest/gtest.h>

using namespace qbtest;
using namespace qbsim;

TEST(Description, FullExample) {
    const DescriptionResult r = parseModuleDescription(
        "serial=40F5849A model=14 address=6 version=2.15.3 build=12345 personality=router "
        "downstream=[serial=0x11 model=13 address=4 version=0x1300012C; serial=12 address=8 "
        "personality=loader uid=1:2:3:4 faults=noack] route=routetome loadbase=0x10000000 "
        "blocksize=256 next-version=3.0.1 next-build=12346 without=11,20 heartbeat=250 "
        "heartbeat-value=1 restart=50 restart-delay=5 frame-timeout=40 loader-serial=default "
        "faults=drop:95.2,drop:3.9@2*3,delay:150:sync*,truncate:5:95.0*2,badcount@4,badsum*,"
        "refuse*2,noreturn,cut:99");
    ASSERT_TRUE(r) << r.error;
    const ModuleConfig& c = r.config;
    EXPECT_EQ(c.serialNumber, 0x40F5849Au);
    EXPECT_EQ(c.model, 14);
    EXPECT_EQ(c.address, 6);
    EXPECT_EQ(c.version, 0x2F020F03u);
    EXPECT_EQ(c.build, 12345u);
    EXPECT_EQ(c.personality, Personality::Router);
    ASSERT_EQ(c.downstream.size(), 2u);
    EXPECT_EQ(c.downstream[0].serialNumber, 0x11u);
    EXPECT_EQ(c.downstream[0].version, 0x1300012Cu);
    EXPECT_EQ(c.downstream[1].serialNumber, 0x12u);
    EXPECT_EQ(c.downstream[1].personality, Personality::Loader);
    EXPECT_EQ(c.downstream[1].uniqueId, (std::array<uint32_t, 4>{1, 2, 3, 4}));
    EXPECT_TRUE(c.downstream[1].faults.ignoreI2CProbe);
    EXPECT_EQ(c.routeGate, RouteGate::RouteToMe);
    EXPECT_EQ(c.loadBase, 0x10000000u);
    EXPECT_EQ(c.blockSize, 256);
    EXPECT_EQ(c.nextVersion, 0x2F030001u);
    EXPECT_EQ(c.nextBuild, 12346u);
    EXPECT_EQ(c.withoutOptions, (std::set<uint8_t>{11, 20}));
    EXPECT_EQ(c.heartbeatInterval, milliseconds(250));
    EXPECT_EQ(c.heartbeatValue, 1);
    EXPECT_EQ(c.restartTime, milliseconds(50));
    EXPECT_EQ(c.restartDelay, milliseconds(5));
    EXPECT_EQ(c.frameTimeout, milliseconds(40));
    EXPECT_TRUE(c.loaderUsesDefaultSerial);

    const Faults& f = c.faults;
    ASSERT_EQ(f.dropReplies.size(), 2u);
    EXPECT_EQ(f.dropReplies[0].match.kind, RequestMatch::Kind::Command);
    EXPECT_EQ(f.dropReplies[0].match.command, 95);
    EXPECT_EQ(f.dropReplies[0].match.sub, 2);
    EXPECT_EQ(f.dropReplies[0].count, (FaultCount{0, 1}));
    EXPECT_EQ(f.dropReplies[1].count, (FaultCount{1, 3}));
    ASSERT_EQ(f.delayReplies.size(), 1u);
    EXPECT_EQ(f.delayReplies[0].match.kind, RequestMatch::Kind::Sync);
    EXPECT_EQ(f.delayReplies[0].delay, milliseconds(150));
    EXPECT_TRUE(f.delayReplies[0].count.always());
    ASSERT_EQ(f.truncateReplies.size(), 1u);
    EXPECT_EQ(f.truncateReplies[0].length, 5);
    EXPECT_EQ(f.truncateReplies[0].match.sub, 0);
    EXPECT_EQ(f.truncateReplies[0].count, (FaultCount{0, 2}));
    EXPECT_EQ(f.wrongDataCount, (FaultCount{3, 1}));
    EXPECT_TRUE(f.wrongSum && f.wrongSum->always());
    EXPECT_EQ(f.refusePrepare, (FaultCount{0, 2}));
    EXPECT_TRUE(f.neverReturnAfterReboot);
    EXPECT_EQ(f.disconnectAfterBytes, 99u);

    // Written out and read back, it is the same module.
    const std::string text = formatModuleDescription(c);
    const DescriptionResult again = parseModuleDescription(text);
    ASSERT_TRUE(again) << again.error << "\n" << text;
    EXPECT_EQ(again.config, c) << text;
}

TEST(Description, Defaults) {
    const DescriptionResult r = parseModuleDescription("serial=40F5849A");
    ASSERT_TRUE(r) << r.error;
    ModuleConfig expected;
    expected.serialNumber = 0x40F5849A;
    EXPECT_EQ(r.config, expected);
    EXPECT_EQ(formatModuleDescription(r.config),
              "serial=40F5849A model=0 address=2 version=2.15.0 build=0");
}

TEST(Description, Versions) {
    struct Case {
        const char* text;
        uint32_t packed;
    };
    const Case cases[] = {
        {"2.14.5", 0x2E000005},  {"2.15.5", 0x2F020F05},     {"3.0.1", 0x2F030001},
        {"1.3.300", 0x1300012C}, {"0x12345678", 0x12345678},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const DescriptionResult r =
            parseModuleDescription(std::string("serial=1 version=") + c.text);
        ASSERT_TRUE(r) << r.error;
        EXPECT_EQ(r.config.version, c.packed);
        const VersionParts parts = unpackVersion(c.packed);
        EXPECT_EQ(packVersion(parts.major, parts.minor, parts.patch).value_or(c.packed), c.packed);
    }
}

TEST(Description, Errors) {
    struct Case {
        const char* text;
        const char* message; // part of the error
    };
    const Case cases[] = {
        {"", "serial"},
        {"model=14", "serial"},
        {"serial=0", "serial"},
        {"serial=XYZ", "not a number"},
        {"serial=123456789", "out of range"},
        {"serial=1 address=3", "address"},
        {"serial=1 address=0", "address"},
        {"serial=1 address=256", "out of range"},
        {"serial=1 serial=2", "twice"},
        {"serial=1 colour=red", "unknown key 'colour'"},
        {"serial=1 model", "key=value"},
        {"serial=1 model=", "no value"},
        {"serial=1 version=2.15", "MAJOR.MINOR.PATCH"},
        {"serial=1 version=1.16.0", "cannot be packed"},
        {"serial=1 version=3.0.256", "cannot be packed"},
        {"serial=1 personality=hub", "personality"},
        {"serial=1 downstream=[serial=2 address=4]", "personality=router"},
        {"serial=1 personality=router downstream=[serial=2 address=2]", "two modules"},
        {"serial=1 personality=router downstream=[serial=2 address=4; serial=3 address=4]",
         "two modules"},
        {"serial=1 personality=router downstream=[serial=2 address=4 personality=router]",
         "router itself"},
        {"serial=1 personality=router downstream=[serial=2 address=4", "unbalanced"},
        {"serial=1 personality=router downstream=[serial=2 colour=red]", "unknown key"},
        {"serial=1 uid=1:2:3", "four"},
        {"serial=1 without=64", "out of range"},
        {"serial=1 heartbeat-value=2", "out of range"},
        {"serial=1 faults=explode", "unknown fault"},
        {"serial=1 faults=drop", "drop needs a request"},
        {"serial=1 faults=drop:95.x", "not a number"},
        {"serial=1 faults=drop:95@0", "@1"},
        {"serial=1 faults=badsum*0", "never"},
        {"serial=1 faults=cut:0", "at least one"},
        {"serial=1 faults=truncate:5", "truncate needs"},
        {"serial=1 faults=truncate:29:95.0", "out of range"},
        {"serial=1 faults=badsum:3", "no arguments"},
        {"serial=1 loader-serial=mine", "loader-serial"},
        {"serial=1 route=always", "route"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const DescriptionResult r = parseModuleDescription(c.text);
        EXPECT_FALSE(r);
        EXPECT_NE(r.error.find(c.message), std::string::npos) << r.error;
    }
    EXPECT_THROW(makeModule("serial=1 address=3"), std::invalid_argument);
}

TEST(Description, UnknownWordsKeptForTheRig) {
    const DescriptionResult r =
        parseModuleDescription("serial=1 port=9000 model=14 name=bench", true);
    ASSERT_TRUE(r) << r.error;
    EXPECT_EQ(r.extras, (std::map<std::string, std::string>{{"port", "9000"}, {"name", "bench"}}));
    EXPECT_EQ(r.config.model, 14);
}

TEST(Description, StartsAWorkingModule) {
    Bench bench("serial=2181F0EE model=13 address=4 build=7");
    EXPECT_EQ(bench.model().identity().serialNumber, 0x2181F0EEu);
    EXPECT_EQ(bench.model().identity().productId, 13);
    EXPECT_EQ(bench.ask(frame(4, {73, 255})), (Packet{4, {73, 255, 0, 0, 0, 7}}));
}
