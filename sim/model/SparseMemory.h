// Memory of a simulated chip, kept by address: only what was written is
// there. Contiguous runs are merged, so a test can read back an image and
// compare it byte for byte.
#ifndef QBSIM_MODEL_SPARSE_MEMORY_H
#define QBSIM_MODEL_SPARSE_MEMORY_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace qbsim {

class SparseMemory {
public:
    // Writes `length` bytes at `address`, over whatever was there. Bytes
    // that would run past the top of the 32-bit space are cut off.
    void write(uint32_t address, const uint8_t* data, size_t length);
    void write(uint32_t address, const std::vector<uint8_t>& bytes) {
        write(address, bytes.data(), bytes.size());
    }

    // The `length` bytes at `address`, or nothing when any of them was never
    // written.
    std::optional<std::vector<uint8_t>> read(uint32_t address, size_t length) const;

    // Whether the byte at `address` was written.
    bool contains(uint32_t address) const;

    // Number of bytes written (each address counted once).
    size_t size() const;
    bool empty() const { return runs_.empty(); }
    void clear() { runs_.clear(); }

    // The contiguous runs, by start address.
    const std::map<uint32_t, std::vector<uint8_t>>& runs() const { return runs_; }

private:
    std::map<uint32_t, std::vector<uint8_t>> runs_;
};

} // namespace qbsim

#endif
