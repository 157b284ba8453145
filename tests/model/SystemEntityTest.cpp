// The system entity, the description queries and restarts by reset.
#include "Bench.h"

#include <gtest/gtest.h>

using namespace qbtest;

namespace {

const std::string kModule = "serial=40F5849A model=14 address=6 version=2.15.3 build=12345";

// The value bytes of a get reply, after checking its header.
Bytes getValue(Bench& bench, uint8_t option, std::optional<uint8_t> subIndex = std::nullopt) {
    const Packet reply = bench.ask(ueiGet(6, 3, option, 0, subIndex));
    EXPECT_EQ(reply.address, 6);
    EXPECT_GE(reply.data.size(), 3u);
    EXPECT_EQ(reply.data[0], 3);
    EXPECT_EQ(reply.data[1], option);
    EXPECT_EQ(reply.data[2], 0) << "error reply";
    return Bytes(reply.data.begin() + 3, reply.data.end());
}

} // namespace

TEST(SystemEntity, ErrorReplies) {
    struct Case {
        const char* what;
        std::string description;
        Bytes request;
        Bytes reply; // data bytes
    };
    const Case cases[] = {
        {"index 1 of the system entity", kModule, ueiGet(6, 3, 9, 1), {3, 9, 0x81, 28}},
        {"set router without a value", kModule, ueiSet(6, 3, 2), {3, 0xC2, 0x80, 27}},
        {"routeToMe without a value", kModule, ueiSet(6, 3, 20), {3, 0xD4, 0x80, 27}},
        {"option 39 without its sub-index",
         kModule + " personality=loader",
         ueiGet(6, 3, 39),
         {3, 39, 0x80, 27}},
        {"option 39 sub-index 4",
         kModule + " personality=loader",
         ueiGet(6, 3, 39, 0, 4),
         {3, 39, 0x80, 29}},
        {"serial number taken away", kModule + " without=9,20", ueiGet(6, 3, 9), {3, 9, 0x80, 29}},
        {"an entity class it does not have", kModule, ueiGet(6, 30, 1), {30, 1, 0x80, 28}},
        {"a set on a class it does not have", kModule, ueiSet(6, 30, 1, {1}), {30, 0xC1, 0x80, 28}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bench bench(c.description);
        EXPECT_EQ(bench.exchange(c.request), (std::vector<Packet>{Packet{6, c.reply}}));
    }
}

TEST(SystemEntity, PacketsThatAreNotRequestsGetNoReply) {
    Bench bench(kModule);
    const char* silent[] = {
        "06 03 03 09 00", // a reply, not a request (no request bit)
        "06 03 03 C9 20", // an acknowledgement's option byte
        "06 03 03 09 20", // neither get nor set
        "06 02 03 49",    // too short
        "06 03 1E 41 00", // another class, but not a request
        "06 01 04",       // a store-slot command it does not serve
        "06 02 5F 07",    // a status is a reply
    };
    for (const char* bytes : silent) {
        SCOPED_TRACE(bytes);
        EXPECT_TRUE(bench.exchange(hex(bytes)).empty());
    }
}

TEST(SystemEntity, RouterAddressAndRouteToMe) {
    Bench bench(kModule + " router=2");
    EXPECT_EQ(getValue(bench, 2), Bytes{2});
    EXPECT_EQ(bench.ask(ueiSet(6, 3, 2, {8})), (Packet{6, {3, 0xC2, 0}}));
    EXPECT_EQ(getValue(bench, 2), Bytes{8});

    EXPECT_FALSE(bench.model().routeToMe());
    EXPECT_EQ(bench.ask(ueiSet(6, 3, 20, {1})), (Packet{6, {3, 0xD4, 0}}));
    EXPECT_TRUE(bench.model().routeToMe());
    EXPECT_EQ(bench.ask(ueiSet(6, 3, 20, {0})), (Packet{6, {3, 0xD4, 0}}));
    EXPECT_FALSE(bench.model().routeToMe());
}

TEST(SystemEntity, RecoveryLoaderAnswersItsUniqueIdentifier) {
    struct Case {
        const char* loaderSerial;
        uint32_t presented;
    };
    const Case cases[] = {{"own", 0x40F5849A}, {"default", 0xCDCAACCF}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.loaderSerial);
        Bench bench(kModule + " personality=loader loader-serial=" + c.loaderSerial +
                    " uid=0A0B0C0D:11223344:55667788:99AABBCC");
        EXPECT_EQ(bench.model().identity().serialNumber, c.presented);
        EXPECT_EQ(bench.model().identity().productId, 14);
        EXPECT_EQ(be32(getValue(bench, 9), 0), c.presented);
        // Word 3 - j of the fingerprint under sub-index j.
        const uint32_t fingerprint[4] = {0x0A0B0C0D, 0x11223344, 0x55667788, 0x99AABBCC};
        for (uint8_t j = 0; j < 4; ++j) {
            EXPECT_EQ(be32(getValue(bench, 39, j), 0), fingerprint[3 - j]) << int(j);
        }
    }
}

TEST(SystemEntity, DescriptionQueries) {
    Bench bench(kModule);
    struct Case {
        const char* request;
        const char* reply;
    };
    const Case cases[] = {
        {"06 02 49 FF", "06 06 49 FF 00 00 30 39"},             // build
        {"06 06 49 01 03 09 00 40", "06 06 49 01 03 09 00 01"}, // has getSerialNumber
        {"06 06 49 01 03 27 00 40", "06 06 49 01 03 27 00 00"}, // no option 39
        {"06 06 49 01 03 0B 00 80", "06 06 49 01 03 0B 00 01"}, // has reset
        {"06 06 49 01 03 09 00 80", "06 06 49 01 03 09 00 00"}, // serial cannot be set
        {"06 03 49 04 03", "06 04 49 04 03 01"},                // one system entity
        {"06 03 49 04 08", "06 04 49 04 08 00"},                // no I2C entity on a module
        {"06 04 49 05 03 00", "06 05 49 05 03 00 00"},
        {"06 04 49 06 03 00", "06 05 49 06 03 00 00"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        const Bytes reply = hex(c.reply);
        EXPECT_EQ(bench.exchange(hex(c.request)),
                  (std::vector<Packet>{Packet{reply[0], Bytes(reply.begin() + 2, reply.end())}}));
    }
}

TEST(SystemEntity, ResetDropsTheLinkAndComesBack) {
    Bench bench(kModule + " restart=300");
    bench.send(hex("AF 01 01"));
    bench.send(ueiSet(6, 3, 20, {1}));
    bench.send(ueiSet(6, 3, 2, {4}));
    bench.packets();

    const Clock::time_point asked = bench.now();
    EXPECT_EQ(bench.ask(hex("06 03 03 8B 20")), (Packet{6, {0x03, 0xCB, 0x00}}));
    EXPECT_FALSE(bench.model().present(bench.now())) << "off as soon as the host has the reply";
    // Bytes sent while it is away are lost.
    EXPECT_TRUE(bench.exchange(hex("AD 00")).empty());

    bench.elapse(milliseconds(299));
    EXPECT_FALSE(bench.model().present(bench.now()));
    bench.elapse(milliseconds(1));
    EXPECT_TRUE(bench.model().present(bench.now()));
    EXPECT_EQ(bench.absences(), 1u);
    EXPECT_EQ(bench.presence().back().at, asked + milliseconds(300));

    EXPECT_EQ(bench.model().lastDrop(), qbsim::ModuleModel::DropKind::Reset);
    EXPECT_EQ(bench.model().identity().serialNumber, 0x40F5849Au);
    EXPECT_FALSE(bench.model().forceRoute());
    EXPECT_FALSE(bench.model().routeToMe());
    EXPECT_EQ(getValue(bench, 2), Bytes{0}) << "the router address is back to its setting";
    EXPECT_EQ(bench.ask(hex("AD 00")), (Packet{6, {}}));
}

TEST(SystemEntity, ResetWaitsForTheHostToTakeTheReply) {
    Bench bench(kModule + " restart-delay=20");
    // The bench reads the reply at once; the link goes 20 ms later.
    EXPECT_EQ(bench.exchange(hex("06 03 03 8B 20")).size(), 1u);
    EXPECT_TRUE(bench.model().present(bench.now() + milliseconds(19)));
    EXPECT_FALSE(bench.model().present(bench.now() + milliseconds(20)));

    // A host that lets go before reading still sees the module restart.
    Bench gone(kModule);
    gone.model().fromHost(hex("06 03 03 8B 20").data(), 5, gone.now());
    gone.model().hostDisconnected();
    EXPECT_FALSE(gone.model().present(gone.now()));
}
