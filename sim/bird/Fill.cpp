// Image content.
//
// "code" imitates the code of a Cortex-M firmware: a vector table, then
// functions of 16- and 32-bit Thumb-like instructions, each followed by a
// literal pool, with string tables and lookup tables in between. Compilers
// emit the same short sequences again and again, so a function body is
// mostly drawn from a pool of such idioms (now and then with a register or
// immediate changed); calls go to a set of functions, with offsets that
// differ from call site to call site; literal pools draw from a set of
// peripheral, RAM and flash addresses. zlib packs it a little over 2:1.
//
// "image" lays such code out as in a large image: code sections of 32 to
// 128 KiB, often followed by text resources and initialised data (small
// numbers, mostly zero), each padded with erased flash (0xFF) to the next
// 64 KiB boundary, now and then a reserved sector. zlib packs that about
// 3.5:1 (3.2 to 3.7 by seed).
#include "BirdWriter.h"

namespace qbsim::bird {

namespace {

class Rng {
public:
    explicit Rng(uint64_t seed) : state(seed) {}
    uint64_t next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    uint32_t below(uint32_t bound) { return static_cast<uint32_t>(next() % bound); }
    // Small values far more often than large ones.
    uint32_t skewed(uint32_t bound) {
        uint32_t a = below(bound);
        uint32_t b = below(bound);
        return a < b ? a : b;
    }

private:
    uint64_t state;
};

class CodeWriter {
public:
    CodeWriter(size_t size, uint64_t seed) : limit(size), rng(seed) { out.reserve(size + 4096); }

    std::vector<uint8_t> code() {
        prepare();
        vectorTable();
        while (out.size() < limit) {
            section();
        }
        out.resize(limit);
        return std::move(out);
    }

    std::vector<uint8_t> image() {
        constexpr size_t SECTOR = 64 * 1024;
        prepare();
        vectorTable();
        while (out.size() < limit) {
            fillTo(out.size() + (32 + rng.below(97)) * 1024, [this] { section(); });
            if (rng.below(2) == 0) { // messages, menus, web pages
                fillTo(out.size() + (16 + rng.below(49)) * 1024, [this] { strings(); });
            }
            if (rng.below(3) == 0) { // initialised data, mostly zero
                fillTo(out.size() + (4 + rng.below(29)) * 1024,
                       [this] { word(rng.below(3) == 0 ? rng.skewed(256) : 0); });
            }
            size_t end = (out.size() + SECTOR - 1) / SECTOR * SECTOR;
            if (rng.below(4) == 0) {
                end += SECTOR; // a reserved sector
            }
            out.resize(end, 0xFF);
        }
        out.resize(limit);
        return std::move(out);
    }

private:
    template <typename Step>
    void fillTo(size_t end, Step step) {
        while (out.size() < end && out.size() < limit) {
            step();
        }
    }

    void half(uint16_t value) {
        out.push_back(static_cast<uint8_t>(value));
        out.push_back(static_cast<uint8_t>(value >> 8));
    }
    void word(uint32_t value) {
        half(static_cast<uint16_t>(value));
        half(static_cast<uint16_t>(value >> 16));
    }
    void align4(uint8_t fill) {
        while (out.size() % 4 != 0) {
            out.push_back(fill);
        }
    }
    uint32_t lowRegister() { return rng.skewed(8); }
    uint32_t flashAddress() { return (rng.below(static_cast<uint32_t>(limit) | 1) & ~1u) | 1u; }

    void prepare() {
        for (int i = 0; i < 160; ++i) {
            size_t at = out.size();
            uint32_t length = 2 + rng.skewed(8);
            for (uint32_t k = 0; k < length; ++k) {
                instruction();
            }
            idioms.emplace_back(out.begin() + static_cast<std::ptrdiff_t>(at), out.end());
            out.resize(at);
        }
        for (int i = 0; i < 400; ++i) {
            switch (rng.below(4)) {
            case 0:
                constants.push_back(0x40000000u + rng.skewed(64) * 0x1000u + rng.skewed(32) * 4u);
                break;
            case 1:
                constants.push_back(0x20000000u + rng.skewed(0x2000) * 4u);
                break;
            case 2:
                constants.push_back(flashAddress());
                break;
            default:
                constants.push_back(rng.skewed(1000));
                break;
            }
        }
        for (int i = 0; i < 300; ++i) {
            callees.push_back(rng.below(static_cast<uint32_t>(limit / 2) | 1) * 2);
        }
    }

    void vectorTable() {
        word(0x20008000);
        for (int i = 1; i < 64; ++i) {
            word(i < 16 || rng.below(3) != 0 ? 0x00000201u + 2u * rng.skewed(64) : 0x00000200u);
        }
    }

    void section() {
        uint32_t pick = rng.below(100);
        if (pick < 78) {
            function();
        } else if (pick < 88) {
            strings();
        } else if (pick < 96) {
            table();
        } else {
            padding();
        }
    }

    void instruction() {
        uint32_t r = rng.below(100);
        uint32_t rd = lowRegister();
        uint32_t rn = lowRegister();
        if (r < 22) { // LDR/STR rd, [rn, #imm5*4]
            half(static_cast<uint16_t>((rng.below(2) ? 0x6800 : 0x6000) | rng.skewed(8) << 6 |
                                       rn << 3 | rd));
        } else if (r < 36) { // MOVS/CMP/ADDS/SUBS rd, #imm8
            static const uint16_t ops[] = {0x2000, 0x2800, 0x3000, 0x3800};
            half(static_cast<uint16_t>(ops[rng.skewed(4)] | rd << 8 | rng.skewed(32)));
        } else if (r < 48) { // register ALU
            static const uint16_t ops[] = {0x4000, 0x4040, 0x4300, 0x4200, 0x4280, 0x1800, 0x1A00};
            half(static_cast<uint16_t>(ops[rng.skewed(7)] | rn << 3 | rd));
        } else if (r < 58) { // LDR rd, [pc, #imm8*4]: literal pool
            half(static_cast<uint16_t>(0x4800 | rd << 8 | rng.skewed(16)));
        } else if (r < 66) { // conditional branch, short
            half(static_cast<uint16_t>(0xD000 | rng.skewed(14) << 8 | rng.skewed(32)));
        } else if (r < 74) { // BL with a wide offset
            uint32_t offset = rng.below(1u << 20);
            half(static_cast<uint16_t>(0xF000 | (offset >> 11 & 0x3FF)));
            half(static_cast<uint16_t>(0xF800 | (offset & 0x7FF)));
        } else if (r < 82) { // MOV rd, rn / LSLS / LSRS
            static const uint16_t ops[] = {0x4600, 0x0000, 0x0800};
            uint16_t op = ops[rng.skewed(3)];
            half(static_cast<uint16_t>(op == 0x4600 ? op | rn << 3 | rd
                                                    : op | rng.skewed(32) << 6 | rn << 3 | rd));
        } else if (r < 92) { // 32-bit: LDR.W / STR.W / MOV.W
            static const uint16_t ops[] = {0xF8D0, 0xF8C0, 0xF04F, 0xEA4F};
            half(static_cast<uint16_t>(ops[rng.skewed(4)] | rn));
            half(static_cast<uint16_t>(rd << 12 | rng.skewed(64) << 2));
        } else { // NOP, BX LR, unconditional branch
            static const uint16_t ops[] = {0xBF00, 0x4770, 0xE000};
            uint16_t op = ops[rng.below(3)];
            half(static_cast<uint16_t>(op == 0xE000 ? op | rng.skewed(128) : op));
        }
    }

    void call() {
        uint32_t target = callees[rng.skewed(static_cast<uint32_t>(callees.size()))];
        uint32_t offset = (target - static_cast<uint32_t>(out.size()) - 4) >> 1;
        half(static_cast<uint16_t>(0xF000 | (offset >> 11 & 0x3FF)));
        half(static_cast<uint16_t>(0xF800 | (offset & 0x7FF)));
    }

    void function() {
        static const uint16_t pushes[] = {0xB510, 0xB570, 0xB5F0, 0xB500, 0xB538};
        uint32_t style = rng.skewed(5);
        half(pushes[style]);
        if (rng.below(2)) {
            half(static_cast<uint16_t>(0xB080 | rng.skewed(8))); // SUB SP
        }
        uint32_t length = 2 + rng.skewed(16);
        for (uint32_t i = 0; i < length; ++i) {
            uint32_t r = rng.below(100);
            if (r < 70) {
                const std::vector<uint8_t>& idiom =
                    idioms[rng.skewed(static_cast<uint32_t>(idioms.size()))];
                size_t at = out.size();
                out.insert(out.end(), idiom.begin(), idiom.end());
                if (rng.below(4) == 0) {
                    out[at + 2 * rng.below(static_cast<uint32_t>(idiom.size() / 2))] ^=
                        static_cast<uint8_t>(1u << rng.below(3));
                }
            } else if (r < 85) {
                call();
            } else {
                instruction();
            }
        }
        half(static_cast<uint16_t>(pushes[style] | 0x0800)); // POP {.., pc}
        align4(0x00);
        uint32_t literals = rng.skewed(6);
        for (uint32_t i = 0; i < literals; ++i) {
            word(constants[rng.skewed(static_cast<uint32_t>(constants.size()))]);
        }
    }

    void strings() {
        static const char* words[] = {
            "error",   "timeout", "link",   "module", "firmware", "serial", "port",   "ready",
            "failed",  "packet",  "sensor", "value",  "config",   "reset",  "update", "state",
            "invalid", "channel", "buffer", "read",   "write",    "bus",    "i2c",    "usb",
        };
        constexpr uint32_t COUNT = sizeof words / sizeof words[0];
        uint32_t lines = 1 + rng.below(6);
        for (uint32_t l = 0; l < lines; ++l) {
            uint32_t n = 1 + rng.below(5);
            for (uint32_t w = 0; w < n; ++w) {
                for (const char* text = words[rng.below(COUNT)]; *text != '\0'; ++text) {
                    out.push_back(static_cast<uint8_t>(*text));
                }
                out.push_back(w + 1 < n ? ' ' : (rng.below(2) ? '\n' : ':'));
            }
            if (rng.below(3) == 0) {
                for (const char* f = " %d\n"; *f != '\0'; ++f) {
                    out.push_back(static_cast<uint8_t>(*f));
                }
            }
            out.push_back(0);
        }
        align4(0x00);
    }

    void table() {
        uint32_t entries = 8 + rng.below(120);
        uint32_t value = rng.below(4096);
        uint32_t step = rng.skewed(64);
        for (uint32_t i = 0; i < entries; ++i) {
            value += step + rng.skewed(4);
            half(static_cast<uint16_t>(value));
        }
        align4(0x00);
    }

    void padding() {
        uint32_t length = 4 * (1 + rng.skewed(64));
        out.insert(out.end(), length, rng.below(2) ? 0xFF : 0x00);
    }

    size_t limit;
    Rng rng;
    std::vector<uint8_t> out;
    std::vector<std::vector<uint8_t>> idioms;
    std::vector<uint32_t> constants;
    std::vector<uint32_t> callees;
};

} // namespace

std::vector<uint8_t> Generate(Fill kind, size_t size, uint64_t seed) {
    switch (kind) {
    case Fill::Zero:
        return std::vector<uint8_t>(size, 0);
    case Fill::Random: {
        Rng rng(seed);
        std::vector<uint8_t> out(size);
        for (size_t i = 0; i < size; ++i) {
            out[i] = static_cast<uint8_t>(rng.next() >> 56);
        }
        return out;
    }
    case Fill::Counter: {
        std::vector<uint8_t> out(size);
        for (size_t i = 0; i < size; ++i) {
            out[i] = static_cast<uint8_t>(i);
        }
        return out;
    }
    case Fill::Code:
        return CodeWriter(size, seed).code();
    case Fill::Image:
        return CodeWriter(size, seed).image();
    }
    return {};
}

Fill FillFromName(const std::string& name) {
    static const struct {
        const char* name;
        Fill fill;
    } names[] = {{"zero", Fill::Zero},
                 {"random", Fill::Random},
                 {"code", Fill::Code},
                 {"image", Fill::Image},
                 {"counter", Fill::Counter}};
    for (const auto& entry : names) {
        if (name == entry.name) {
            return entry.fill;
        }
    }
    throw WriterError("unknown fill '" + name + "' (zero, random, code, image, counter)");
}

} // namespace qbsim::bird
