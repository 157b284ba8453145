// The upgrade command set: a whole two-stage update as the host drives it,
// and the module's answers to requests out of order.
#include "Bench.h"

#include <gtest/gtest.h>

using namespace qbtest;
using Mode = qbsim::ModuleModel::Mode;

namespace {

struct Block {
    uint8_t flags;
    uint32_t address;
    Bytes image;
};

// The host's side of the command set, written from the request layouts:
// every DATA packet of at most 26 bytes acknowledged before the next, the
// bytes of one transfer summed as unsigned bytes into 32 bits and compared
// with the module's SUM.
class Host {
public:
    Host(Bench& bench, uint8_t address) : bench_(bench), address_(address) {}

    uint16_t prepare(const Block& block) {
        const Packet reply = bench_.ask(qbtest::prepare(address_, block.flags, block.address));
        EXPECT_EQ(reply.data.size(), 5u);
        EXPECT_EQ(Bytes(reply.data.begin(), reply.data.begin() + 3), (Bytes{0x5F, 7, 0}));
        return uint16_t((reply.data.at(3) << 8) | reply.data.at(4));
    }

    void transfer(const uint8_t* data, size_t length) {
        uint32_t sum = 0;
        for (size_t at = 0; at < length;) {
            const size_t n = std::min<size_t>(26, length - at);
            ASSERT_EQ(bench_.ask(dataPacket(address_, data + at, n)),
                      (Packet{address_, {0x5F, 1, uint8_t(n)}}));
            for (size_t i = 0; i < n; ++i) {
                sum += data[at + i];
            }
            at += n;
        }
        ASSERT_EQ(bench_.ask(upgrade(address_, 4)),
                  (Packet{address_, Bytes{0x5F, 7, 0} + be32(sum)}));
    }

    void loaderStage(const std::vector<Block>& blocks) {
        const Packet init = bench_.ask(upgrade(address_, 0));
        EXPECT_EQ(init, (Packet{address_, Bytes{0x5F, 0} + be32(0x20000000)}));
        for (const Block& block : blocks) {
            prepare(block);
            transfer(block.image.data(), block.image.size());
        }
        EXPECT_EQ(bench_.ask(upgrade(address_, 2)), (Packet{address_, {0x5F, 2}}));
    }

    void firmwareStage(const std::vector<Block>& blocks) {
        for (const Block& block : blocks) {
            const uint16_t blockSize = prepare(block);
            ASSERT_GT(blockSize, 0);
            for (size_t at = 0; at < block.image.size();) {
                const size_t n = std::min<size_t>(blockSize, block.image.size() - at);
                transfer(block.image.data() + at, n);
                ASSERT_EQ(bench_.ask(writeCount(address_, uint16_t(n))),
                          (Packet{address_, {0x5F, 7, 0}}));
                at += n;
            }
        }
        EXPECT_TRUE(bench_.exchange(upgrade(address_, 6)).empty()) << "REBOOT has no reply";
    }

private:
    Bench& bench_;
    uint8_t address_;
};

const std::vector<Block> kLoader = {
    {1, 0x20000000, image(600, 1)},
    {1, 0x20001000, image(100, 2)},
};
const std::vector<Block> kFirmware = {
    {2, 0x00000000, image(1000, 3)},
    {6, 0x00010000, image(300, 4)},
};

} // namespace

TEST(Upgrade, TwoStageUpdateKeepsEveryByte) {
    struct Case {
        const char* loaderSerial;
        uint32_t serialInLoader;
    };
    const Case cases[] = {{"own", 0x40F5849A}, {"default", 0xCDCAACCF}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.loaderSerial);
        Bench bench(std::string("serial=40F5849A model=14 address=6 version=2.15.3 build=100 "
                                "next-version=2.16.0 next-build=101 blocksize=512 restart=300 "
                                "loader-serial=") +
                    c.loaderSerial);
        qbsim::ModuleModel& model = bench.model();
        Host host(bench, 6);

        host.loaderStage(kLoader);
        EXPECT_FALSE(model.present(bench.now()));
        EXPECT_EQ(model.identity().serialNumber, c.serialInLoader)
            << "the identity it comes back with";
        bench.elapse(milliseconds(300));
        ASSERT_TRUE(model.present(bench.now()));
        EXPECT_EQ(model.mode(), Mode::Loader);
        EXPECT_EQ(model.identity().serialNumber, c.serialInLoader);
        EXPECT_EQ(bench.ask(hex("AD 00")), (Packet{6, {}}));

        host.firmwareStage(kFirmware);
        EXPECT_FALSE(model.present(bench.now()));
        EXPECT_EQ(model.identity().serialNumber, 0x40F5849Au);
        bench.elapse(milliseconds(300));
        ASSERT_TRUE(model.present(bench.now()));
        EXPECT_EQ(model.mode(), Mode::Firmware);
        EXPECT_EQ(bench.absences(), 2u);
        EXPECT_EQ(bench.ask(ueiGet(6, 3, 7)), (Packet{6, Bytes{3, 7, 0} + be32(0x2F021000)}));
        EXPECT_EQ(bench.ask(frame(6, {73, 255})), (Packet{6, Bytes{73, 255} + be32(101)}));

        size_t loaderBytes = 0;
        for (const Block& block : kLoader) {
            EXPECT_EQ(model.loaderMemory().read(block.address, block.image.size()), block.image);
            loaderBytes += block.image.size();
        }
        EXPECT_EQ(model.loaderMemory().size(), loaderBytes);
        size_t firmwareBytes = 0;
        for (const Block& block : kFirmware) {
            EXPECT_EQ(model.firmwareMemory().read(block.address, block.image.size()), block.image);
            firmwareBytes += block.image.size();
        }
        EXPECT_EQ(model.firmwareMemory().size(), firmwareBytes);

        ASSERT_EQ(model.prepares().size(), 4u);
        EXPECT_TRUE(model.prepares()[0].toLoader);
        EXPECT_FALSE(model.prepares()[2].toLoader);
        EXPECT_EQ(model.prepares()[3].flags, 6);
        EXPECT_EQ(model.prepares()[3].address, 0x00010000u);
        ASSERT_EQ(model.writes().size(), 3u);
        EXPECT_EQ(model.writes()[1].address, 512u);
        EXPECT_EQ(model.writes()[1].count, 488u);
    }
}

TEST(Upgrade, RequestsOutOfOrder) {
    const std::string loader = "serial=1 address=6 personality=loader blocksize=32";
    const Bytes ten = image(10, 9);
    struct Case {
        const char* what;
        std::string description;
        std::vector<Bytes> before;
        Bytes request;
        Bytes reply;
    };
    const Case cases[] = {
        {"DATA before PREPARE", loader, {}, dataPacket(6, ten.data(), 10), {0x5F, 1, 0}},
        {"WRITE before PREPARE", loader, {}, writeCount(6, 10), {0x5F, 7, 11}},
        {"SUM before PREPARE", loader, {}, upgrade(6, 4), {0x5F, 7, 11, 0, 0, 0, 0}},
        {"WRITE of more than arrived",
         loader,
         {prepare(6, 0, 0x100), dataPacket(6, ten.data(), 10)},
         writeCount(6, 11),
         {0x5F, 7, 14}},
        {"DATA beyond the block size",
         loader,
         {prepare(6, 0, 0x100), dataPacket(6, ten.data(), 10), dataPacket(6, ten.data(), 10),
          dataPacket(6, ten.data(), 10)},
         dataPacket(6, ten.data(), 10),
         {0x5F, 1, 0}},
        {"a short PREPARE", loader, {}, upgrade(6, 3, {0, 0, 0, 1}), {0x5F, 7, 27, 0, 32}},
        {"a short WRITE", loader, {prepare(6, 0, 0x100)}, upgrade(6, 5, {0}), {0x5F, 7, 27}},
        {"SUM counts from the last SUM",
         loader,
         {prepare(6, 0, 0x100), dataPacket(6, ten.data(), 10), upgrade(6, 4)},
         upgrade(6, 4),
         {0x5F, 7, 0, 0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bench bench(c.description);
        for (const Bytes& request : c.before) {
            bench.send(request);
        }
        bench.packets();
        EXPECT_EQ(bench.exchange(c.request), (std::vector<Packet>{Packet{6, c.reply}}));
        EXPECT_TRUE(bench.model().firmwareMemory().empty());
    }
}

TEST(Upgrade, WriteCommitsFromTheFrontAndKeepsTheRest) {
    Bench bench("serial=1 address=6 personality=loader");
    const Bytes ten = image(10, 5);
    bench.send(prepare(6, 0, 0x8000));
    bench.send(dataPacket(6, ten.data(), 10));
    bench.send(writeCount(6, 4));
    bench.send(writeCount(6, 6));
    EXPECT_EQ(bench.packets().size(), 4u);
    EXPECT_EQ(bench.model().firmwareMemory().read(0x8000, 10), ten);
    EXPECT_EQ(bench.model().firmwareMemory().runs().size(), 1u);
}

TEST(Upgrade, InitStartsANewLoaderAndRebootOutsideTheLoaderKeepsTheVersion) {
    Bench bench("serial=1 address=6 version=2.15.3 next-version=3.0.0 restart=0");
    const Bytes bytes = image(20, 6);
    bench.send(upgrade(6, 0));
    bench.send(prepare(6, 1, 0x20000000));
    bench.send(dataPacket(6, bytes.data(), 20));
    EXPECT_EQ(bench.model().loaderMemory().size(), 20u);
    bench.send(upgrade(6, 0));
    EXPECT_TRUE(bench.model().loaderMemory().empty());

    bench.send(upgrade(6, 6));
    bench.elapse(milliseconds(1));
    EXPECT_EQ(bench.model().lastDrop(), qbsim::ModuleModel::DropKind::Reboot);
    EXPECT_EQ(bench.model().mode(), Mode::Firmware);
    EXPECT_EQ(bench.model().version(), 0x2F020F03u);
}

TEST(Upgrade, RecoveryLoaderBecomesAModuleAfterReboot) {
    Bench bench("serial=5 model=14 address=6 personality=loader next-build=77 restart=0 "
                "uid=1:2:3:4");
    bench.send(upgrade(6, 6));
    bench.elapse(milliseconds(1));
    EXPECT_EQ(bench.model().mode(), Mode::Firmware);
    EXPECT_EQ(bench.model().build(), 77u);
    EXPECT_EQ(bench.ask(ueiGet(6, 3, 39, 0, 0)).data, (Bytes{3, 39, 0x80, 29}));
    // A reset now starts the firmware again, not the loader.
    bench.ask(ueiSet(6, 3, 11));
    bench.elapse(milliseconds(1));
    EXPECT_EQ(bench.model().mode(), Mode::Firmware);
}

TEST(Upgrade, ResetInAStartedLoaderReturnsToTheFirmware) {
    Bench bench("serial=5 address=6 restart=0");
    bench.ask(upgrade(6, 2));
    bench.elapse(milliseconds(1));
    ASSERT_EQ(bench.model().mode(), Mode::Loader);
    bench.ask(ueiSet(6, 3, 11));
    bench.elapse(milliseconds(1));
    EXPECT_EQ(bench.model().mode(), Mode::Firmware);
}
