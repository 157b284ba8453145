// A firmware container (BIRD file) loaded into memory.
//
// On disk: the signature "bird", a 16-bit format version and one zlib stream.
// Inflated, the stream is a block count, the blocks back to back (a type and
// flags byte, a 32-bit payload length, the payload) and a 32-bit checksum;
// all numbers are big-endian. The object owns the inflated stream in one
// buffer; its blocks are small records that point into that buffer, so the
// content operations patch the very bytes that are later sent to a device.
#ifndef UPDATER_BIRDFILE_H
#define UPDATER_BIRDFILE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

constexpr uint32_t BIRD_FILE_SIGNATURE = 0x62697264; // "bird"
constexpr uint16_t BIRD_FILE_VERSION = 0x0101;
constexpr uint8_t BIRD_FILE_TYPE_MASK = 0x1F;
constexpr uint8_t BIRD_FILE_FLAG_MASK = 0xE0;

// Four bytes read big-endian.
uint32_t GetInt(const uint8_t* bytes);
// Two bytes read big-endian.
uint16_t GetShort(const uint8_t* bytes);

// One block of the stream. `data` points at the first payload byte inside
// the owning BirdFile's buffer; for loader and firmware blocks that is the
// 4-byte load address, and the image follows it. `length` counts the whole
// payload, address included.
struct BirdBlock {
    uint8_t type = 0;
    uint8_t flags = 0;
    uint32_t length = 0;
    uint32_t address = 0;
    uint8_t* data = nullptr;
};

class BirdFile {
public:
    enum BLOCK_TYPE : uint8_t {
        BLOCK_LOADER = 0,
        BLOCK_FIRMWARE = 1,
        BLOCK_SERIAL_OFFSETS = 2,
        BLOCK_INFO = 4,
        BLOCK_START_ADDRESS = 5,
    };

    // Sizes of the information block and its four text fields.
    static constexpr uint32_t INFO_FIELD_SIZE = 16;
    static constexpr uint32_t INFO_SIZE = 4 * INFO_FIELD_SIZE;

    BirdFile();
    // Loads the file; raises std::runtime_error "Failed to load bird data"
    // when that fails.
    explicit BirdFile(const std::string& path);
    ~BirdFile();

    BirdFile(const BirdFile&) = delete;
    BirdFile& operator=(const BirdFile&) = delete;
    // The buffer moves with the blocks: their data pointers stay valid. The
    // object moved from is left empty.
    BirdFile(BirdFile&& other) noexcept;
    BirdFile& operator=(BirdFile&& other) noexcept;

    // Reads, inflates and scans the file named by the path.
    bool Load();
    // Inflates one zlib stream into a new buffer of 8 times `length` bytes
    // that replaces the object's buffer (and drops the blocks that pointed
    // into the old one).
    bool DecompressData(const uint8_t* data, size_t length);
    // Parses a block stream into the block array. The records point into
    // `data`, which must outlive them; Load passes the object's own buffer.
    bool ScanBlocks(uint8_t* data, uint32_t size);
    // Copies of the blocks of one type, in file order.
    std::vector<BirdBlock> FindBlocks(uint8_t type) const;
    // Hex and text dump of the payloads of one type to standard output.
    bool DumpBlocks(uint8_t type) const;
    // Quick header check: "bird" and two non-zero version bytes.
    static bool VerifyFile(const std::string& path);

    // Contents of the information block.
    uint32_t GetBuild() const;
    std::string GetVersion() const;
    uint32_t GetSerialNumber() const;
    bool ValidateSerialNumber(uint32_t serial) const;
    bool ValidateModel(const char* name) const;

    // Serial-number patching of generic builds.
    bool FindSerialNumberOffsets();
    bool ReplaceSerialNumber(uint32_t serial);
    bool ReplaceVectorChecksum();
    // Decodes the firmware images of a chip-bound build in place with the
    // chip's four-word key. Applied once, right after loading.
    bool DecodeFirmwareBlocks(const uint32_t key[4]);
    // True when `count` bytes of `pattern` occur in some firmware block.
    bool ValidateData(const uint8_t* pattern, uint32_t count) const;

    const std::string& GetPath() const { return path; }
    uint32_t GetSignature() const { return signature; }
    // The header's format version (not the firmware version text).
    uint32_t GetFileVersion() const { return version; }
    uint32_t GetChecksum() const { return checksum; }
    uint32_t GetBlockCount() const { return blockCount; }
    const std::vector<BirdBlock>& GetBlocks() const { return blocks; }
    bool HasSerialOffsets() const { return hasSerialOffsets; }
    uint32_t GetSerialNumberOffset() const { return serialNumberOffset; }
    uint32_t GetDescriptorOffset() const { return descriptorOffset; }
    const uint8_t* GetData() const { return buffer.get(); }
    uint32_t GetDataSize() const { return dataSize; }

private:
    void swap(BirdFile& other) noexcept;
    void reset();
    const BirdBlock* firstBlock(uint8_t type) const;
    // The information block's 64 bytes; what a short block lacks reads as
    // spaces.
    bool infoFields(char out[INFO_SIZE]) const;

    std::string path;
    uint32_t signature = 0;
    uint32_t version = 0;
    uint32_t checksum = 0;
    uint32_t blockCount = 0;
    std::vector<BirdBlock> blocks;
    bool hasSerialOffsets = false;
    uint32_t serialNumberOffset = 0;
    uint32_t descriptorOffset = 0;
    std::unique_ptr<uint8_t[]> buffer;
    uint32_t dataSize = 0;
};

#endif
