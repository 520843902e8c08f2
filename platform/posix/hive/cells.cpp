#include "cells.h"

#include "file.h"

#include <sys/mman.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr uint32_t kPage = 4096;
constexpr uint32_t kSmallestCell = 8;

uint32_t CellSize(uint32_t length) {
    uint32_t size = (length + 4 + 7) & ~7u;
    return size < kSmallestCell ? kSmallestCell : size;
}

} // namespace

HiveCells::~HiveCells() {
    if (base_ != nullptr)
        munmap(base_, reserved_);
}

// The whole address range a hive may ever need is reserved at once, so the
// image never moves as it grows and pointers into it stay good; only the
// part mapped from the file or grown into is ever touched.
bool HiveCells::Map(int fd, const HiveFreeSpace *space) {
    uint8_t head[kBaseBlockSize];
    if (!ReadAt(fd, 0, head, sizeof head))
        return false;
    bins_ = ReadLe32(head + kBinsSizeOffset);
    reserved_ = kBaseBlockSize + kLargestHive;
    void *at =
        mmap(nullptr, reserved_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (at == MAP_FAILED)
        return false;
    base_ = static_cast<uint8_t *>(at);
    if (mmap(base_, ImageSize(), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_FIXED, fd, 0) ==
        MAP_FAILED)
        return false;
    if (space != nullptr && !space->bins.empty()) {
        for (const auto &bin : space->bins)
            binEnds_.emplace_hint(binEnds_.end(), bin.first, bin.first + bin.second);
        for (const auto &cell : space->cells)
            Remember(cell.first, cell.second);
        indexed_ = true;
    }
    return true;
}

size_t HiveCells::ImageSize() const {
    return kBaseBlockSize + bins_;
}

uint32_t HiveCells::Length(uint32_t cell) const {
    if (cell < kBinHeaderSize || cell % 8 != 0 || uint64_t{cell} + kSmallestCell > bins_)
        return 0;
    uint32_t word = ReadLe32(Cell(cell));
    uint32_t size = 0u - word;
    if (word < 0x80000000u || size < kSmallestCell || uint64_t{cell} + size > bins_)
        return 0;
    return size - 4;
}

const uint8_t *HiveCells::Data(uint32_t cell, uint32_t need, const char *signature) const {
    uint32_t length = Length(cell);
    if (length == 0 || length < need ||
        (signature != nullptr && (length < 2 || memcmp(Cell(cell) + 4, signature, 2) != 0)))
        return nullptr;
    return Cell(cell) + 4;
}

void HiveCells::Mark(uint64_t from, uint64_t length) {
    for (uint64_t page = from / kPage; page * kPage < from + length; page++)
        pages_.insert(static_cast<uint32_t>(page));
}

uint8_t *HiveCells::ChangeBins(uint32_t offset, uint32_t length) {
    Mark(offset, length);
    return Cell(offset);
}

std::vector<HiveSpan> HiveCells::ChangedSpans() const {
    std::vector<HiveSpan> spans;
    for (uint32_t page : pages_) {
        uint32_t at = page * kPage;
        if (!spans.empty() && spans.back().offset + spans.back().length == at)
            spans.back().length += kPage;
        else
            spans.push_back({at, kPage});
    }
    return spans;
}

void HiveCells::Remember(uint32_t cell, uint32_t size) {
    bySize_.emplace(size, cell);
    byOffset_[cell] = size;
}

void HiveCells::Forget(uint32_t cell, uint32_t size) {
    byOffset_.erase(cell);
    bySize_.erase({size, cell});
}

// The bins are walked once, on the first allocation or release: the checks
// at load have shown that cells tile every bin.
bool HiveCells::IndexFreeCells() {
    if (indexed_)
        return true;
    for (uint32_t bin = 0; bin < bins_;) {
        uint32_t size = ReadLe32(Cell(bin) + 8);
        if (size < kPage || size % kPage != 0 || uint64_t{bin} + size > bins_)
            return false;
        binEnds_[bin] = bin + size;
        for (uint32_t cell = bin + kBinHeaderSize; cell < bin + size;) {
            uint32_t word = ReadLe32(Cell(cell));
            uint32_t length = word >= 0x80000000u ? 0u - word : word;
            if (length < kSmallestCell || length % 8 != 0 || cell + uint64_t{length} > bin + size)
                return false;
            if (word < 0x80000000u)
                Remember(cell, length);
            cell += length;
        }
        bin += size;
    }
    indexed_ = true;
    return true;
}

// A bin at the end just large enough for the cell, its rest free.
bool HiveCells::Grow(uint32_t size) {
    uint64_t binSize = (uint64_t{size} + kBinHeaderSize + kPage - 1) / kPage * kPage;
    if (ImageSize() + binSize > reserved_)
        return false;
    uint8_t *bin = Cell(bins_);
    if (mprotect(bin, binSize, PROT_READ | PROT_WRITE) != 0)
        return false;
    memset(bin, 0, binSize);
    memcpy(bin, "hbin", 4);
    WriteLe32(bin + 4, bins_);
    WriteLe32(bin + 8, static_cast<uint32_t>(binSize));
    WriteLe32(bin + kBinHeaderSize, static_cast<uint32_t>(binSize - kBinHeaderSize));
    Mark(bins_, binSize);
    binEnds_[bins_] = bins_ + static_cast<uint32_t>(binSize);
    Remember(bins_ + kBinHeaderSize, static_cast<uint32_t>(binSize - kBinHeaderSize));
    bins_ += static_cast<uint32_t>(binSize);
    WriteLe32(base_ + kBinsSizeOffset, bins_);
    return true;
}

// Takes size bytes from the front of the free cell at cell; a rest too
// small to be a cell stays with the allocation.
void HiveCells::Take(uint32_t cell, uint32_t size) {
    uint32_t free = byOffset_[cell];
    Forget(cell, free);
    if (free - size >= kSmallestCell) {
        WriteLe32(Cell(cell + size), free - size);
        Mark(cell + size, 4);
        Remember(cell + size, free - size);
    } else {
        size = free;
    }
    WriteLe32(Cell(cell), 0u - size);
    memset(Cell(cell) + 4, 0, size - 4);
    Mark(cell, size);
}

bool HiveCells::Allocate(uint32_t length, uint32_t *cell) {
    if (length > kLargestHive || !IndexFreeCells())
        return false;
    uint32_t size = CellSize(length);
    auto fit = bySize_.lower_bound({size, 0});
    if (fit == bySize_.end()) {
        if (!Grow(size))
            return false;
        fit = bySize_.lower_bound({size, 0});
    }
    *cell = fit->second;
    Take(*cell, size);
    return true;
}

void HiveCells::Free(uint32_t cell) {
    uint32_t size = Length(cell) + 4;
    if (size == 4 || !IndexFreeCells())
        return;
    auto bin = binEnds_.upper_bound(cell);
    if (bin == binEnds_.begin())
        return;
    --bin;
    uint32_t binStart = bin->first, binEnd = bin->second;
    auto next = byOffset_.find(cell + size);
    if (cell + size < binEnd && next != byOffset_.end()) {
        uint32_t extra = next->second;
        Forget(cell + size, extra);
        size += extra;
    }
    auto previous = byOffset_.lower_bound(cell);
    if (previous != byOffset_.begin()) {
        --previous;
        if (previous->first >= binStart && previous->first + previous->second == cell) {
            uint32_t start = previous->first;
            size += previous->second;
            Forget(start, previous->second);
            cell = start;
        }
    }
    WriteLe32(Cell(cell), size);
    Mark(cell, 4);
    Remember(cell, size);
}
