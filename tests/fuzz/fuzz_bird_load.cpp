// BIRD files from anywhere: header check, load (inflate and scan), then
// every content operation on what was loaded.
//
// Mutating compressed bytes rarely gives a stream that still inflates, so
// most mutations are made on the inflated block stream, which is then
// compressed again behind the (possibly mutated) header; the rest mutate the
// raw file and reach the header checks and zlib's error paths.
#include "BirdFile.h"
#include "BirdFuzzOps.h"
#include "FuzzSupport.h"

#include <cstring>
#include <stdexcept>
#include <vector>
#include <zlib.h>

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t maxSize);

namespace {

qbfuzz::InputFile* input = nullptr;
constexpr size_t HEADER = 6;

// The payload inflated, when it inflates within the tool's 8-times limit.
bool inflatePayload(const uint8_t* data, size_t size, std::vector<uint8_t>& stream) {
    if (size <= HEADER) {
        return false;
    }
    uLongf produced = static_cast<uLongf>((size - HEADER) * 8);
    stream.resize(produced);
    if (uncompress(stream.data(), &produced, data + HEADER, size - HEADER) != Z_OK) {
        return false;
    }
    stream.resize(produced);
    return true;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    input = new qbfuzz::InputFile();
    qbfuzz::quietLogging(DEBUG_BirdFile);
    return 0;
}

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t maxSize,
                                          unsigned int seed) {
    std::vector<uint8_t> stream;
    if (seed % 8 == 0 || !inflatePayload(data, size, stream)) {
        return LLVMFuzzerMutate(data, size, maxSize);
    }
    if (seed % 8 == 1) {
        LLVMFuzzerMutate(data, HEADER, HEADER); // the header alone
    }
    size_t streamSize = stream.size();
    stream.resize(streamSize * 2 + 64);
    streamSize = LLVMFuzzerMutate(stream.data(), streamSize, stream.size());
    uLongf packed = compressBound(static_cast<uLong>(streamSize));
    std::vector<uint8_t> payload(packed);
    if (compress(payload.data(), &packed, stream.data(), static_cast<uLong>(streamSize)) != Z_OK ||
        HEADER + packed > maxSize) {
        return LLVMFuzzerMutate(data, size, maxSize);
    }
    memcpy(data + HEADER, payload.data(), packed);
    return HEADER + packed;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& path = input->set(data, size);
    BirdFile::VerifyFile(path);
    BirdFile file;
    try {
        file = BirdFile(path);
    } catch (const std::runtime_error&) {
        qbfuzz::check(file.GetBlocks().empty());
        return 0;
    }
    // A file of n bytes inflates to at most 8 (n - 6) bytes.
    qbfuzz::check(size > 6 && file.GetDataSize() <= 8 * (size - 6));
    BirdFile moved(std::move(file));
    qbfuzz::exerciseBird(moved, moved.GetData(), moved.GetDataSize());
    return 0;
}
