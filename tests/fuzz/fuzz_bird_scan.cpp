// Block streams as they come out of zlib: the scanner and every content
// operation, on an allocation of exactly the input's size.
#include "BirdFile.h"
#include "BirdFuzzOps.h"
#include "FuzzSupport.h"

#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    qbfuzz::quietLogging(DEBUG_BirdFile);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > UINT32_MAX) {
        return 0;
    }
    std::unique_ptr<uint8_t[]> stream(new uint8_t[size]);
    if (size > 0) {
        memcpy(stream.get(), data, size);
    }
    BirdFile file;
    bool consistent = file.ScanBlocks(stream.get(), static_cast<uint32_t>(size));
    if (consistent) {
        // A consistent stream is its count, its blocks and the checksum.
        size_t total = 8;
        for (const BirdBlock& block : file.GetBlocks()) {
            total += 5 + size_t{block.length};
        }
        qbfuzz::check(total == size && file.GetBlocks().size() == GetInt(stream.get()));
    }
    qbfuzz::exerciseBird(file, stream.get(), size);
    return 0;
}
