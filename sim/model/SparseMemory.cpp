#include "SparseMemory.h"

#include <algorithm>

namespace qbsim {

namespace {

// One past the last address of a run, as a 64-bit value (a run may end at
// the top of the address space).
uint64_t sEnd(const std::pair<const uint32_t, std::vector<uint8_t>>& run) {
    return uint64_t(run.first) + run.second.size();
}

} // namespace

void SparseMemory::write(uint32_t address, const uint8_t* data, size_t length) {
    const uint64_t room = (uint64_t(1) << 32) - address;
    if (length > room) {
        length = size_t(room);
    }
    if (length == 0 || data == nullptr) {
        return;
    }
    uint64_t start = address;
    uint64_t end = start + length;

    // Every run that overlaps or touches [start, end) is merged into one.
    auto first = runs_.upper_bound(address);
    if (first != runs_.begin() && sEnd(*std::prev(first)) >= start) {
        --first;
    }
    auto last = first;
    while (last != runs_.end() && last->first <= end) {
        ++last;
    }
    if (first != last && std::next(first) == last && first->first <= address) {
        // Within or at the end of one run (an image written front to back):
        // grow it in place.
        std::vector<uint8_t>& bytes = first->second;
        const size_t offset = address - first->first;
        if (offset + length > bytes.size()) {
            bytes.resize(offset + length);
        }
        std::copy(data, data + length, bytes.begin() + ptrdiff_t(offset));
        return;
    }
    if (first != last) {
        start = std::min<uint64_t>(start, first->first);
        end = std::max<uint64_t>(end, sEnd(*std::prev(last)));
    }
    std::vector<uint8_t> merged(size_t(end - start));
    for (auto it = first; it != last; ++it) {
        std::copy(it->second.begin(), it->second.end(), merged.begin() + (it->first - start));
    }
    std::copy(data, data + length, merged.begin() + (address - start));
    runs_.erase(first, last);
    runs_.emplace(uint32_t(start), std::move(merged));
}

std::optional<std::vector<uint8_t>> SparseMemory::read(uint32_t address, size_t length) const {
    if (length == 0) {
        return std::vector<uint8_t>{};
    }
    auto it = runs_.upper_bound(address);
    if (it == runs_.begin()) {
        return std::nullopt;
    }
    --it;
    if (uint64_t(address) + length > sEnd(*it)) {
        return std::nullopt;
    }
    auto from = it->second.begin() + (address - it->first);
    return std::vector<uint8_t>(from, from + ptrdiff_t(length));
}

bool SparseMemory::contains(uint32_t address) const {
    return read(address, 1).has_value();
}

size_t SparseMemory::size() const {
    size_t total = 0;
    for (const auto& run : runs_) {
        total += run.second.size();
    }
    return total;
}

} // namespace qbsim
