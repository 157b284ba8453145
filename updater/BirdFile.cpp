#include "BirdFile.h"

#include "Log.h"
#include "aFile.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>
#include <zlib.h>

namespace {

// Bytes in front of the zlib stream: signature and format version.
constexpr size_t HEADER_SIZE = 6;
// A block's type-and-flags byte and its 32-bit length.
constexpr uint32_t BLOCK_HEADER_SIZE = 5;
// The load address in front of a loader or firmware image.
constexpr uint32_t ADDRESS_SIZE = 4;
// Serial-number fields inside a firmware image.
constexpr uint32_t SERIAL_WORD_SIZE = 4;
constexpr uint32_t DESCRIPTOR_SIZE = 16;
// Vector table words of an image that loads at address 0.
constexpr uint32_t VECTOR_WORDS = 8;

bool hasAddress(uint8_t type) {
    return type == BirdFile::BLOCK_LOADER || type == BirdFile::BLOCK_FIRMWARE;
}

uint32_t sGetLittle(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

void sPutLittle(uint8_t* bytes, uint32_t value) {
    bytes[0] = static_cast<uint8_t>(value);
    bytes[1] = static_cast<uint8_t>(value >> 8);
    bytes[2] = static_cast<uint8_t>(value >> 16);
    bytes[3] = static_cast<uint8_t>(value >> 24);
}

// The image of a loader or firmware block: its payload after the address.
uint32_t sImageLength(const BirdBlock& block) {
    return block.length >= ADDRESS_SIZE ? block.length - ADDRESS_SIZE : 0;
}

// Payload position of a field of `width` bytes at device address `address`
// when it lies wholly inside the block's image, else -1. Sums are taken in
// 64 bits so that no address near the top of the 32-bit space wraps.
int64_t sFieldPosition(const BirdBlock& block, uint32_t address, uint32_t width) {
    uint64_t start = block.address;
    uint64_t end = start + sImageLength(block);
    if (address < start || uint64_t{address} + width > end) {
        return -1;
    }
    return static_cast<int64_t>(ADDRESS_SIZE + (address - start));
}

// The leading characters of an information field as a C string.
void sFieldText(char* out, const char* field, size_t count) {
    memcpy(out, field, count);
    out[count] = '\0';
}

} // namespace

uint32_t GetInt(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
           static_cast<uint32_t>(bytes[2]) << 8 | static_cast<uint32_t>(bytes[3]);
}

uint16_t GetShort(const uint8_t* bytes) {
    return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
}

BirdFile::BirdFile() = default;

BirdFile::BirdFile(const std::string& filePath) : path(filePath) {
    if (!Load()) {
        throw std::runtime_error("Failed to load bird data");
    }
}

BirdFile::~BirdFile() = default;

BirdFile::BirdFile(BirdFile&& other) noexcept {
    swap(other);
}

BirdFile& BirdFile::operator=(BirdFile&& other) noexcept {
    if (this != &other) {
        BirdFile taken(std::move(other));
        swap(taken);
    }
    return *this;
}

void BirdFile::swap(BirdFile& other) noexcept {
    std::swap(path, other.path);
    std::swap(signature, other.signature);
    std::swap(version, other.version);
    std::swap(checksum, other.checksum);
    std::swap(blockCount, other.blockCount);
    std::swap(blocks, other.blocks);
    std::swap(hasSerialOffsets, other.hasSerialOffsets);
    std::swap(serialNumberOffset, other.serialNumberOffset);
    std::swap(descriptorOffset, other.descriptorOffset);
    std::swap(buffer, other.buffer);
    std::swap(dataSize, other.dataSize);
}

// Everything but the path.
void BirdFile::reset() {
    signature = 0;
    version = 0;
    checksum = 0;
    blockCount = 0;
    blocks.clear();
    hasSerialOffsets = false;
    serialNumberOffset = 0;
    descriptorOffset = 0;
    buffer.reset();
    dataSize = 0;
}

bool BirdFile::Load() {
    reset();
    const char* name = path.c_str();
    Log::log(DEBUG_BirdFile, "BIRDFILE: Loading File [%s]\n", name);
    bool result = false;

    if (!aFile_Exists(name)) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: BIRD file not found [%s]\n", name);
        return false;
    }
    aFileRef file = aFile_Open(name, aFileModeRead);
    if (file == nullptr) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", name);
        return false;
    }
    size_t size = 0;
    aErr err = aFile_GetSize(file, &size);
    if (err != aErrNone) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) getting bird file size from %s\n",
                 static_cast<int>(err), name);
        aFile_Close(&file);
        return false;
    }

    std::unique_ptr<uint8_t[]> raw(new (std::nothrow) uint8_t[size]);
    size_t count = 0;
    if (!raw) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", static_cast<int>(aErrMemory),
                 name);
    } else if ((err = aFile_Read(file, raw.get(), size, &count)) != aErrNone) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", static_cast<int>(err), name);
    } else if (count < size) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error reading %s read %zu bytes of %zu byte file\n",
                 name, count, size);
    } else {
        if (size > HEADER_SIZE) {
            signature = GetInt(raw.get());
            version = GetShort(raw.get() + 4);
        }
        // A file of six bytes or fewer has an empty payload, which zlib
        // refuses like any other broken stream.
        size_t offset = std::min(size, HEADER_SIZE);
        if (DecompressData(raw.get() + offset, size - offset)) {
            // A stream whose counts disagree is logged and still loaded.
            ScanBlocks(buffer.get(), dataSize);
            FindSerialNumberOffsets();
            result = true;
        }
    }

    if (firstBlock(BLOCK_SERIAL_OFFSETS) != nullptr) {
        hasSerialOffsets = true;
        FindSerialNumberOffsets();
    }
    raw.reset();
    aFile_Close(&file);
    return result;
}

bool BirdFile::DecompressData(const uint8_t* data, size_t length) {
    // The blocks point into the buffer that is about to go.
    blocks.clear();
    blockCount = 0;
    buffer.reset();
    dataSize = 0;

    // The output may be at most 8 times the input, counted in 32 bits as the
    // format's lengths are. A product that wraps gives a small buffer, and
    // zlib then refuses the stream for want of room; it never writes past
    // the capacity it is told.
    int rc = Z_OK;
    if (length > UINT32_MAX) {
        rc = Z_BUF_ERROR;
    } else {
        uint32_t capacity = static_cast<uint32_t>(length) * 8u;
        buffer.reset(new (std::nothrow) uint8_t[capacity]);
        if (!buffer) {
            rc = Z_MEM_ERROR;
        } else {
            uLongf produced = capacity;
            rc = uncompress(buffer.get(), &produced, data, static_cast<uLong>(length));
            if (rc == Z_OK) {
                dataSize = static_cast<uint32_t>(produced);
            }
        }
    }
    if (rc != Z_OK) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", rc);
        buffer.reset();
        dataSize = 0;
        return false;
    }
    return true;
}

bool BirdFile::ScanBlocks(uint8_t* data, uint32_t size) {
    bool result = true;
    blockCount = 0;
    blocks.clear();

    // A stream too short for its count reads as declaring none.
    uint32_t declared = size >= 4 ? GetInt(data) : 0;
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File reports %d blocks\n", static_cast<int>(declared));
    Log::log(DEBUG_BirdFile, "BIRDFILE: Bird file objects:\n");
    Log::log(DEBUG_BirdFile, "BIRDFILE: \t\tType Flags Length\n");

    uint32_t cursor = std::min<uint32_t>(size, 4);
    bool overrun = size < 4;
    // More than four bytes left means room for at least a block header.
    while (!overrun && size - cursor > 4) {
        uint8_t typeAndFlags = data[cursor];
        uint32_t length = GetInt(data + cursor + 1);
        uint32_t payload = cursor + BLOCK_HEADER_SIZE;
        if (length > size - payload) {
            overrun = true; // not recorded; nothing past the end is read
            break;
        }
        BirdBlock block;
        block.type = typeAndFlags & BIRD_FILE_TYPE_MASK;
        block.flags = static_cast<uint8_t>((typeAndFlags & BIRD_FILE_FLAG_MASK) >> 5);
        block.length = length;
        block.data = data + payload;
        if (hasAddress(block.type) && length >= ADDRESS_SIZE) {
            block.address = GetInt(block.data);
        }
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t %02X   %02X   %d\n", unsigned{block.type},
                 unsigned{block.flags}, static_cast<int>(length));
        if (block.type == BLOCK_INFO) {
            char fields[INFO_SIZE];
            memset(fields, ' ', sizeof fields);
            memcpy(fields, block.data, std::min(length, INFO_SIZE));
            for (uint32_t i = 0; i < INFO_SIZE; i += INFO_FIELD_SIZE) {
                Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t \t[%16.16s]\n", fields + i);
            }
        }
        cursor = payload + length;
        ++blockCount;
        blocks.push_back(block);
    }

    // What is left after the checksum; negative when the checksum is missing.
    int64_t remaining = 0;
    if (overrun) {
        remaining = size < 4 ? int64_t{size} - 8 : int64_t{size} - cursor;
    } else if (size - cursor >= 4) {
        checksum = GetInt(data + cursor);
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File checksum %08X\n", checksum);
        cursor += 4;
        remaining = int64_t{size} - cursor;
    } else {
        remaining = int64_t{size} - cursor - 4;
    }
    if (remaining != 0) {
        Log::log(DEBUG_BirdFile,
                 "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
                 static_cast<int>(remaining));
        result = false;
    }
    if (blockCount != declared) {
        Log::log(DEBUG_BirdFile,
                 "BIRDFILE: Block parsing mismatch in number of blocks. (%d != %d)\n",
                 static_cast<int>(blockCount), static_cast<int>(declared));
        result = false;
    }
    return result;
}

std::vector<BirdBlock> BirdFile::FindBlocks(uint8_t type) const {
    std::vector<BirdBlock> found;
    for (const BirdBlock& block : blocks) {
        if (block.type == type) {
            found.push_back(block);
        }
    }
    return found;
}

bool BirdFile::DumpBlocks(uint8_t type) const {
    constexpr uint32_t PER_LINE = 50;
    printf("BIRDFILE: BLOCK DUMP [%s]\n", path.c_str());
    std::string column;
    for (const BirdBlock& block : blocks) {
        if (block.type != type) {
            continue;
        }
        for (uint32_t i = 0; i < block.length; ++i) {
            if (i % PER_LINE == 0) {
                printf(" %s\r\n%06d: ", column.c_str(), static_cast<int>(i));
                column.clear();
            }
            uint8_t byte = block.data[i];
            printf("%02X ", unsigned{byte});
            column += (byte >= 0x20 && byte < 0x7F) ? static_cast<char>(byte) : ' ';
        }
        printf(" %s\n", column.c_str());
        column.clear();
    }
    printf("\n");
    return true;
}

bool BirdFile::VerifyFile(const std::string& filePath) {
    aFileRef file = aFile_Open(filePath.c_str(), aFileModeRead);
    if (file == nullptr) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n",
                 filePath.c_str());
        return false;
    }
    uint8_t header[HEADER_SIZE] = {};
    size_t count = 0;
    bool answer = aFile_Read(file, header, sizeof header, &count) == aErrNone &&
                  count == sizeof header && GetInt(header) == BIRD_FILE_SIGNATURE &&
                  header[4] != 0 && header[5] != 0;
    aFile_Close(&file);
    return answer;
}

const BirdBlock* BirdFile::firstBlock(uint8_t type) const {
    for (const BirdBlock& block : blocks) {
        if (block.type == type) {
            return &block;
        }
    }
    return nullptr;
}

bool BirdFile::infoFields(char out[INFO_SIZE]) const {
    const BirdBlock* info = firstBlock(BLOCK_INFO);
    if (info == nullptr) {
        return false;
    }
    memset(out, ' ', INFO_SIZE);
    memcpy(out, info->data, std::min(info->length, INFO_SIZE));
    return true;
}

uint32_t BirdFile::GetBuild() const {
    char fields[INFO_SIZE];
    if (!infoFields(fields)) {
        return 0;
    }
    char text[INFO_FIELD_SIZE];
    sFieldText(text, fields, INFO_FIELD_SIZE - 1);
    return static_cast<uint32_t>(strtoul(text, nullptr, 10));
}

std::string BirdFile::GetVersion() const {
    char fields[INFO_SIZE];
    if (!infoFields(fields)) {
        return std::string();
    }
    char text[INFO_FIELD_SIZE];
    sFieldText(text, fields + INFO_FIELD_SIZE, INFO_FIELD_SIZE - 1);
    if (char* space = strchr(text, ' ')) {
        *space = '\0';
    }
    return std::string(text);
}

uint32_t BirdFile::GetSerialNumber() const {
    char fields[INFO_SIZE];
    if (!infoFields(fields)) {
        return 0;
    }
    char text[9];
    sFieldText(text, fields + 2 * INFO_FIELD_SIZE, 8);
    return static_cast<uint32_t>(strtoul(text, nullptr, 16));
}

bool BirdFile::ValidateSerialNumber(uint32_t serial) const {
    return serial == GetSerialNumber();
}

bool BirdFile::ValidateModel(const char* name) const {
    char fields[INFO_SIZE];
    if (name == nullptr || !infoFields(fields)) {
        return false;
    }
    char model[INFO_FIELD_SIZE + 1];
    sFieldText(model, fields + 3 * INFO_FIELD_SIZE, INFO_FIELD_SIZE);
    for (size_t n = strlen(model); n > 0 && model[n - 1] == ' '; --n) {
        model[n - 1] = '\0';
    }
    if (strncmp(model, name, strlen(name)) != 0) {
        return false;
    }
    Log::log(DEBUG_BirdFile, "Model matches model number ([%s] == [%s])\n", model, name);
    return true;
}

bool BirdFile::FindSerialNumberOffsets() {
    if (blocks.empty()) {
        return false;
    }
    const BirdBlock* offsets = firstBlock(BLOCK_SERIAL_OFFSETS);
    if (offsets == nullptr) {
        return false;
    }
    // A short block reads as zeros, "none", where its bytes are missing.
    uint8_t raw[8] = {};
    memcpy(raw, offsets->data, std::min<uint32_t>(offsets->length, sizeof raw));
    serialNumberOffset = GetInt(raw);
    descriptorOffset = GetInt(raw + 4);
    Log::log(DEBUG_BirdFile, "BIRDFILE: Offsets: Serial number: %d, Descriptor: %d\n",
             static_cast<int>(serialNumberOffset), static_cast<int>(descriptorOffset));
    return true;
}

bool BirdFile::ReplaceSerialNumber(uint32_t serial) {
    char text[9];
    snprintf(text, sizeof text, "%08X", serial);
    bool result = false;
    for (const BirdBlock& block : blocks) {
        if (block.type != BLOCK_FIRMWARE) {
            continue;
        }
        if (serialNumberOffset != 0) {
            result = true;
            int64_t at = sFieldPosition(block, serialNumberOffset, SERIAL_WORD_SIZE);
            if (at >= 0) {
                uint8_t* word = block.data + at;
                Log::log(DEBUG_BirdFile, "BIRDFILE: updating serial number from %08X ==> %08X\n",
                         sGetLittle(word), serial);
                sPutLittle(word, serial);
            }
        }
        if (descriptorOffset != 0) {
            int64_t at = sFieldPosition(block, descriptorOffset, DESCRIPTOR_SIZE);
            if (at >= 0) {
                // UTF-16LE: the digits go into the low bytes, the high bytes stay.
                uint8_t* field = block.data + at;
                for (size_t i = 0; i < 8; ++i) {
                    field[2 * i] = static_cast<uint8_t>(text[i]);
                }
                result = true;
            }
        }
    }
    return result;
}

bool BirdFile::ReplaceVectorChecksum() {
    for (const BirdBlock& block : blocks) {
        if (block.type != BLOCK_FIRMWARE || block.length < ADDRESS_SIZE ||
            GetInt(block.data) != 0) {
            continue;
        }
        if (sImageLength(block) < VECTOR_WORDS * 4) {
            continue; // too short to hold a vector table
        }
        uint8_t* table = block.data + ADDRESS_SIZE;
        uint32_t sum = 0;
        for (uint32_t i = 0; i < VECTOR_WORDS - 1; ++i) {
            if (i != 5) {
                sum += sGetLittle(table + 4 * i);
            }
        }
        uint32_t value = 0u - sum;
        Log::log(DEBUG_BirdFile, "BIRDFILE: updating vector checksum from %08X ==> %08X\n",
                 sGetLittle(table + 28), value);
        sPutLittle(table + 28, value);
    }
    return true;
}

bool BirdFile::DecodeFirmwareBlocks(const uint32_t key[4]) {
    uint8_t stream[16];
    for (size_t w = 0; w < 4; ++w) {
        for (size_t b = 0; b < 4; ++b) {
            stream[4 * w + b] = static_cast<uint8_t>(key[w] >> (24 - 8 * b));
        }
    }
    for (const BirdBlock& block : blocks) {
        if (block.type != BLOCK_FIRMWARE) {
            continue;
        }
        uint8_t* image = block.data + std::min(block.length, ADDRESS_SIZE);
        uint32_t length = sImageLength(block);
        uint8_t previous = 0;
        for (uint32_t i = 0; i < length; ++i) {
            previous = static_cast<uint8_t>(image[i] ^ stream[i % 16] ^ previous);
            image[i] = previous;
        }
    }
    return true;
}

bool BirdFile::ValidateData(const uint8_t* pattern, uint32_t count) const {
    Log::log(DEBUG_BirdFile, "BIRDFILE: looking for data pattern in [%s]\n", path.c_str());
    bool result = false;
    if (pattern != nullptr && count > 0) {
        for (const BirdBlock& block : blocks) {
            if (block.type != BLOCK_FIRMWARE || block.length < count) {
                continue;
            }
            // Every start from which the whole pattern fits, the last one included.
            for (uint32_t i = 0; i <= block.length - count; ++i) {
                if (memcmp(block.data + i, pattern, count) == 0) {
                    Log::log(DEBUG_BirdFile, "Found data at %d\n", static_cast<int>(i));
                    result = true;
                }
            }
        }
    }
    Log::log(DEBUG_BirdFile, "\n");
    return result;
}
