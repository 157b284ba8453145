// Writes BIRD firmware containers for tests, simulators and the demo.
//
// The file: the signature "bird", a big-endian 16-bit format version
// (0x0101), then one zlib stream made with zlib's one-call compressor. The
// stream holds a big-endian 32-bit block count, the blocks, and a 32-bit
// checksum. A block is one byte of type (low five bits) and flags (high
// three bits), a big-endian 32-bit payload length and the payload. Loader
// (type 0) and firmware (type 1) payloads begin with their big-endian load
// address; the information block (4) holds four space-padded 16-byte texts
// (build, version, serial number, model); the serial-offsets block (2) two
// big-endian device addresses; the start-address block (5) one address.
//
// A Description says what to write, faults included: a declared count or
// length that lies, a stream or file cut short, corrupted zlib bytes, a
// wrong signature or version, bytes after the checksum. It is built in code
// or parsed from the text format described at Parse().
#ifndef QBSIM_BIRD_WRITER_H
#define QBSIM_BIRD_WRITER_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace qbsim::bird {

enum BlockType : uint8_t {
    TYPE_LOADER = 0,
    TYPE_FIRMWARE = 1,
    TYPE_SERIAL_OFFSETS = 2,
    TYPE_INFO = 4,
    TYPE_START_ADDRESS = 5,
};

constexpr size_t INFO_FIELD = 16;

using Key = std::array<uint32_t, 4>;

struct Block {
    uint8_t type = 0;  // 0..31
    uint8_t flags = 0; // 0..7
    // Written in front of the bytes (loader and firmware load address).
    std::optional<uint32_t> address;
    // The image, or the whole payload of a block without an address.
    std::vector<uint8_t> bytes;
    // Faults: a length field that differs from the payload written, and a
    // payload (address included) cut to this many bytes.
    std::optional<uint32_t> declaredLength;
    std::optional<size_t> cut;
};

struct Description {
    std::string signature = "bird"; // written byte for byte, whatever its length
    uint16_t version = 0x0101;
    std::vector<Block> blocks;
    // Firmware images are stored encoded with this key when it is set.
    std::optional<Key> key;

    // Faults and overrides of the stream.
    std::optional<uint32_t> declaredCount; // instead of the number of blocks
    std::optional<uint32_t> checksum;      // instead of the byte sum
    bool omitChecksum = false;
    std::vector<uint8_t> trailing;   // after the checksum
    std::optional<size_t> streamCut; // stream cut to this many bytes
    // Faults of the file.
    bool uncompressed = false;                           // the stream stored without zlib
    std::vector<std::pair<size_t, uint8_t>> corruptions; // payload offset, XOR mask
    std::optional<size_t> fileCut;                       // file cut to this many bytes

    Description& Info(const std::string& build, const std::string& version,
                      const std::string& serial, const std::string& model, uint8_t flags = 0);
    Description& Loader(uint32_t address, std::vector<uint8_t> image, uint8_t flags = 0);
    Description& Firmware(uint32_t address, std::vector<uint8_t> image, uint8_t flags = 0);
    Description& SerialOffsets(uint32_t serialWord, uint32_t descriptor);
    Description& StartAddress(uint32_t address);
    Description& Other(uint8_t type, std::vector<uint8_t> payload, uint8_t flags = 0);
};

// Thrown for a description that cannot be written or parsed.
class WriterError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Content for images.
enum class Fill {
    Zero,    // all zero bytes
    Random,  // uniform bytes: incompressible
    Code,    // dense Thumb-like machine code with literal pools, strings and
             // tables; zlib packs it a little over two to one
    Image,   // a whole firmware image: code, text and data sections padded
             // with erased flash to 64 KiB boundaries; about 3.5 to one
    Counter, // 00 01 02 ... FF 00 ...
};
std::vector<uint8_t> Generate(Fill kind, size_t size, uint64_t seed);
Fill FillFromName(const std::string& name); // "zero", "random", "code", "image", "counter"

// The stored form of a firmware image under a key: each stored byte is the
// plain byte XOR the key byte (the four words most significant byte first,
// cycling every 16 bytes) XOR the previous plain byte (0 before the first).
std::vector<uint8_t> Encode(const std::vector<uint8_t>& plain, const Key& key);

// A text padded with spaces to 16 bytes; longer texts are refused.
std::string InfoField(const std::string& text);

// The payload as it goes into the stream (address, encoding and cut applied).
std::vector<uint8_t> Payload(const Block& block, const std::optional<Key>& key);
// The inflated block stream, and the whole file.
std::vector<uint8_t> BuildStream(const Description& description);
std::vector<uint8_t> BuildFile(const Description& description);
// Writes BuildFile() to a path.
void WriteFile(const std::string& path, const Description& description);
void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes);

// Parses the text format. Paths in file= sources are taken relative to
// `baseDirectory` unless absolute. Errors name the line.
//
//   # a comment: from "#" at the start of a line or after white space
//   signature bird                       default "bird"
//   version 0x0101                       default 0x0101
//   info build=12345 version=1.4.2 serial=40F5849A model=QB-ROUTER
//   loader address=0x10000000 flags=0 fill=code size=8K seed=1
//   firmware address=0x0 flags=1 file=image.bin
//   serial-offsets serial=0x1F0 descriptor=0x2A0
//   start-address 0x20001000
//   block type=3 flags=2 hex=DEADBEEF    any type 0..31; address= optional
//   key 0x11111111 0x22222222 0x33333333 0x44444444
//   count 7                              declared count instead of the real one
//   checksum 0x12345678                  instead of the byte sum
//   no-checksum
//   trailing hex=00FF                    bytes after the checksum
//   cut-stream 100                       stream cut to 100 bytes before zlib
//   uncompressed                         stream stored without zlib
//   corrupt 20 xor=0xFF                  zlib payload byte 20 XOR 0xFF
//   cut-file 10                          file cut to 10 bytes
//
// Block sources (one at most): file=PATH, hex=HEX, text=TEXT, or fill=zero|
// random|code|image|counter with size=N (K and M suffixes) and seed=N. Every block
// line also takes length=N (the length field written) and cut=N (payload,
// address included, cut to N bytes). Values with spaces go in double quotes.
// Numbers are decimal, or hexadecimal after "0x".
Description Parse(const std::string& text, const std::string& baseDirectory = ".");

} // namespace qbsim::bird

#endif
