// Every read and patch operation of a BIRD file, run over whatever blocks
// the input produced; the blocks must lie inside the scanned bytes.
#ifndef QB_FUZZ_BIRD_OPS_H
#define QB_FUZZ_BIRD_OPS_H

#include "BirdFile.h"
#include "FuzzSupport.h"

namespace qbfuzz {

inline void exerciseBird(BirdFile& file, const uint8_t* begin, size_t size) {
    for (const BirdBlock& block : file.GetBlocks()) {
        check(block.data >= begin && block.length <= size &&
              block.data + block.length <= begin + size);
        check(block.type < 32 && block.flags < 8);
    }
    check(file.GetBlockCount() == file.GetBlocks().size());
    file.GetBuild();
    file.GetVersion();
    file.ValidateSerialNumber(file.GetSerialNumber());
    file.ValidateModel("QB-ROUTER");
    file.ValidateModel("");
    file.FindSerialNumberOffsets();
    file.ReplaceSerialNumber(0x40F5849A);
    file.ReplaceVectorChecksum();
    const uint32_t key[4] = {0x01234567, 0x89ABCDEF, 0xFEDCBA98, 0x76543210};
    file.DecodeFirmwareBlocks(key);
    const uint8_t pattern[] = {0x00, 0x00};
    file.ValidateData(pattern, sizeof pattern);
    if (size < 4096) {
        file.DumpBlocks(BirdFile::BLOCK_FIRMWARE);
        file.DumpBlocks(3);
    }
    for (uint8_t type = 0; type < 8; ++type) {
        for (const BirdBlock& block : file.FindBlocks(type)) {
            check(block.type == type);
        }
    }
}

} // namespace qbfuzz

#endif
