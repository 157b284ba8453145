#include "BirdWriter.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <zlib.h>

namespace qbsim::bird {

namespace {

void putBig32(std::vector<uint8_t>& out, uint32_t value) {
    out.push_back(static_cast<uint8_t>(value >> 24));
    out.push_back(static_cast<uint8_t>(value >> 16));
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}

std::vector<uint8_t> bigEndian(uint32_t value) {
    std::vector<uint8_t> out;
    putBig32(out, value);
    return out;
}

} // namespace

Description& Description::Info(const std::string& build, const std::string& version,
                               const std::string& serial, const std::string& model, uint8_t flags) {
    std::string text = InfoField(build) + InfoField(version) + InfoField(serial) + InfoField(model);
    return Other(TYPE_INFO, std::vector<uint8_t>(text.begin(), text.end()), flags);
}

Description& Description::Loader(uint32_t address, std::vector<uint8_t> image, uint8_t flags) {
    Block block;
    block.type = TYPE_LOADER;
    block.flags = flags;
    block.address = address;
    block.bytes = std::move(image);
    blocks.push_back(std::move(block));
    return *this;
}

Description& Description::Firmware(uint32_t address, std::vector<uint8_t> image, uint8_t flags) {
    Loader(address, std::move(image), flags);
    blocks.back().type = TYPE_FIRMWARE;
    return *this;
}

Description& Description::SerialOffsets(uint32_t serialWord, uint32_t descriptor) {
    std::vector<uint8_t> payload = bigEndian(serialWord);
    putBig32(payload, descriptor);
    return Other(TYPE_SERIAL_OFFSETS, std::move(payload));
}

Description& Description::StartAddress(uint32_t address) {
    return Other(TYPE_START_ADDRESS, bigEndian(address));
}

Description& Description::Other(uint8_t type, std::vector<uint8_t> payload, uint8_t flags) {
    if (type > 31 || flags > 7) {
        throw WriterError("block type must be 0..31 and flags 0..7");
    }
    Block block;
    block.type = type;
    block.flags = flags;
    block.bytes = std::move(payload);
    blocks.push_back(std::move(block));
    return *this;
}

std::string InfoField(const std::string& text) {
    if (text.size() > INFO_FIELD) {
        throw WriterError("information field longer than 16 characters: " + text);
    }
    return text + std::string(INFO_FIELD - text.size(), ' ');
}

std::vector<uint8_t> Encode(const std::vector<uint8_t>& plain, const Key& key) {
    uint8_t stream[16];
    for (size_t w = 0; w < 4; ++w) {
        for (size_t b = 0; b < 4; ++b) {
            stream[4 * w + b] = static_cast<uint8_t>(key[w] >> (24 - 8 * b));
        }
    }
    std::vector<uint8_t> stored(plain.size());
    uint8_t previous = 0;
    for (size_t i = 0; i < plain.size(); ++i) {
        stored[i] = static_cast<uint8_t>(plain[i] ^ stream[i % 16] ^ previous);
        previous = plain[i];
    }
    return stored;
}

std::vector<uint8_t> Payload(const Block& block, const std::optional<Key>& key) {
    std::vector<uint8_t> payload;
    if (block.address) {
        putBig32(payload, *block.address);
    }
    if (key && block.type == TYPE_FIRMWARE) {
        std::vector<uint8_t> stored = Encode(block.bytes, *key);
        payload.insert(payload.end(), stored.begin(), stored.end());
    } else {
        payload.insert(payload.end(), block.bytes.begin(), block.bytes.end());
    }
    if (block.cut && *block.cut < payload.size()) {
        payload.resize(*block.cut);
    }
    return payload;
}

std::vector<uint8_t> BuildStream(const Description& description) {
    std::vector<uint8_t> stream;
    putBig32(stream,
             description.declaredCount.value_or(static_cast<uint32_t>(description.blocks.size())));
    for (const Block& block : description.blocks) {
        if (block.type > 31 || block.flags > 7) {
            throw WriterError("block type must be 0..31 and flags 0..7");
        }
        std::vector<uint8_t> payload = Payload(block, description.key);
        if (payload.size() > UINT32_MAX) {
            throw WriterError("block payload longer than 4 GiB");
        }
        stream.push_back(static_cast<uint8_t>(block.type | block.flags << 5));
        putBig32(stream, block.declaredLength.value_or(static_cast<uint32_t>(payload.size())));
        stream.insert(stream.end(), payload.begin(), payload.end());
    }
    if (!description.omitChecksum) {
        uint32_t sum = 0;
        for (uint8_t byte : stream) {
            sum += byte;
        }
        putBig32(stream, description.checksum.value_or(sum));
    }
    stream.insert(stream.end(), description.trailing.begin(), description.trailing.end());
    if (description.streamCut && *description.streamCut < stream.size()) {
        stream.resize(*description.streamCut);
    }
    return stream;
}

std::vector<uint8_t> BuildFile(const Description& description) {
    std::vector<uint8_t> stream = BuildStream(description);
    std::vector<uint8_t> payload;
    if (description.uncompressed) {
        payload = std::move(stream);
    } else {
        uLongf size = compressBound(static_cast<uLong>(stream.size()));
        payload.resize(size);
        int rc = compress(payload.data(), &size, stream.data(), static_cast<uLong>(stream.size()));
        if (rc != Z_OK) {
            throw WriterError("zlib compress failed with " + std::to_string(rc));
        }
        payload.resize(size);
    }
    for (const auto& [offset, mask] : description.corruptions) {
        if (offset >= payload.size()) {
            throw WriterError("corrupt offset " + std::to_string(offset) + " beyond the " +
                              std::to_string(payload.size()) + "-byte payload");
        }
        payload[offset] ^= mask;
    }

    std::vector<uint8_t> file(description.signature.begin(), description.signature.end());
    file.push_back(static_cast<uint8_t>(description.version >> 8));
    file.push_back(static_cast<uint8_t>(description.version));
    file.insert(file.end(), payload.begin(), payload.end());
    if (description.fileCut && *description.fileCut < file.size()) {
        file.resize(*description.fileCut);
    }
    return file;
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    FILE* out = fopen(path.c_str(), "wb");
    if (out == nullptr) {
        throw WriterError("cannot create " + path + ": " + strerror(errno));
    }
    size_t written = bytes.empty() ? 0 : fwrite(bytes.data(), 1, bytes.size(), out);
    bool closed = fclose(out) == 0;
    if (written != bytes.size() || !closed) {
        throw WriterError("cannot write " + path);
    }
}

void WriteFile(const std::string& path, const Description& description) {
    WriteBytes(path, BuildFile(description));
}

} // namespace qbsim::bird
