// The bytes of a hive as one run reads and changes them.  The image is
// mapped privately: reading costs only the pages looked at, and the file
// itself changes only when the commit writes.  Every change goes through
// Change, which records its pages, so the commit knows exactly what to
// write without comparing the hive with anything.  New cells come from the
// free cells the bins already hold, and only when none fits from a bin
// added at the end.
#ifndef DRVINST_POSIX_HIVE_CELLS_H
#define DRVINST_POSIX_HIVE_CELLS_H

#include "file.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

// A cell, by its offset from the first bin, as the hive's own links name
// it.  No cell starts at 0, where the first bin's header is.
using HiveNode = uint32_t;

// Pages of the bins, from the first bin, as the log and the commit count
// them.
struct HiveSpan {
    uint32_t offset;
    uint32_t length;
};

class HiveCells {
  public:
    HiveCells() = default;
    HiveCells(const HiveCells &) = delete;
    HiveCells &operator=(const HiveCells &) = delete;
    ~HiveCells();

    // Maps the base block and bins of the checked hive image in fd, with
    // its free space when the check has found it; false with errno set
    // when that cannot be done.
    bool Map(int fd, const HiveFreeSpace *space = nullptr);

    uint32_t Bins() const {
        return bins_;
    }
    // The base block and the bins, as the run has left them.
    const uint8_t *Image() const {
        return base_;
    }
    size_t ImageSize() const;
    uint8_t *BaseBlock() {
        return base_;
    }
    bool Changed() const {
        return !pages_.empty();
    }

    // The data of the allocated cell at cell when it holds at least need
    // bytes and (when given) starts with the two-letter signature, else
    // null.  The checks at load vouch for the hive's own links; this
    // vouches for each use of them.
    const uint8_t *Data(uint32_t cell, uint32_t need = 0, const char *signature = nullptr) const;
    // The bytes of data the allocated cell at cell holds; 0 for no cell.
    uint32_t Length(uint32_t cell) const;

    // The bytes [from, from + length) of the cell's data, to be changed;
    // their pages go out with the commit.  The range must lie in the cell.
    uint8_t *Change(uint32_t cell, uint32_t from, uint32_t length) {
        return ChangeBins(cell + 4 + from, length);
    }
    // The same for any bytes of the bins, a bin's header among them.
    uint8_t *ChangeBins(uint32_t offset, uint32_t length);

    // A new cell of at least length bytes of data, zeroed; false when the
    // hive cannot grow that far.
    bool Allocate(uint32_t length, uint32_t *cell);
    // Gives an allocated cell back, joined with free neighbours in its bin.
    void Free(uint32_t cell);

    // The runs of changed pages of the bins, in order.
    std::vector<HiveSpan> ChangedSpans() const;

  private:
    bool IndexFreeCells();
    bool Grow(uint32_t length);
    void Take(uint32_t cell, uint32_t size);
    void Forget(uint32_t cell, uint32_t size);
    void Remember(uint32_t cell, uint32_t size);
    void Mark(uint64_t from, uint64_t length);
    uint8_t *Cell(uint32_t cell) const {
        return base_ + 4096 + cell;
    }

    uint8_t *base_ = nullptr;
    size_t reserved_ = 0;
    uint32_t bins_ = 0;
    bool indexed_ = false;
    std::set<uint32_t> pages_;                       // changed pages of the bins, by number
    std::set<std::pair<uint32_t, uint32_t>> bySize_; // free cells: (size, offset)
    std::map<uint32_t, uint32_t> byOffset_;          // free cells: offset -> size
    std::map<uint32_t, uint32_t> binEnds_;           // bin start -> bin end
};

#endif
