// A second hive writer, on purpose.  The benchmark's hives stand in for
// hives Windows wrote, and every program it times edits them: drvinst, the
// revisions it is compared with (bench/run.sh --baseline), hivex and the
// other tools.  Built through drvinst's own engine they would carry that
// engine's choices, where it leaves free cells and how its lists grow, and
// they would change whenever the engine does: the engine would be timed on
// hives shaped to suit it, and figures taken at two commits would not be on
// the same input.  So the cells are laid out here, in the shape of a hive
// Windows wrote, with no edits since: lists sorted and hashed, long ones
// split into an index of leaves, cells packed into bins in order, free
// space only at bin ends.  Only the base block, its checksum and the byte
// helpers come from the engine.
#include "bench/hivewriter.h"

#include "platform/posix/hive/hive.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

constexpr uint32_t kNoCell = 0xFFFFFFFF;
constexpr uint16_t kCompressedName = 0x20;
constexpr uint16_t kRootFlags = 0x2C; // hive entry, cannot be deleted, compressed name
constexpr uint32_t kInlineData = 0x80000000;
constexpr size_t kValueCellHeaderSize = 4 + 0x14;

size_t Align8(size_t size) {
    return (size + 7) & ~static_cast<size_t>(7);
}

void WriteLe64(uint8_t *p, uint64_t v) {
    WriteLe32(p, static_cast<uint32_t>(v));
    WriteLe32(p + 4, static_cast<uint32_t>(v >> 32));
}

// The bins of the new hive, handed out cell by cell; offsets count from
// the first bin, as every reference inside a hive does.
class Cells {
  public:
    uint32_t Allocate(size_t size) {
        size = Align8(size);
        if (next_ + size > binEnd_)
            OpenBin(size);
        uint32_t at = static_cast<uint32_t>(next_);
        next_ += size;
        WriteLe32(At(at), 0u - static_cast<uint32_t>(size));
        return at;
    }
    uint8_t *At(uint32_t offset) {
        return bins_.data() + offset;
    }
    // The bins, the unused end of the last one marked free.
    std::vector<uint8_t> Finish() {
        CloseBin();
        return std::move(bins_);
    }

  private:
    // A cell never straddles two bins; one too big for a plain bin gets a
    // bin of its own, a multiple of 4 KiB long.
    void OpenBin(size_t cellSize) {
        CloseBin();
        size_t start = bins_.size();
        size_t size =
            (kBinHeaderSize + cellSize + kBinAlignment - 1) / kBinAlignment * kBinAlignment;
        bins_.resize(start + size, 0);
        memcpy(At(static_cast<uint32_t>(start)), "hbin", 4);
        WriteLe32(At(static_cast<uint32_t>(start)) + 4, static_cast<uint32_t>(start));
        WriteLe32(At(static_cast<uint32_t>(start)) + 8, static_cast<uint32_t>(size));
        next_ = start + kBinHeaderSize;
        binEnd_ = start + size;
    }
    void CloseBin() {
        if (next_ < binEnd_)
            WriteLe32(At(static_cast<uint32_t>(next_)), static_cast<uint32_t>(binEnd_ - next_));
        next_ = binEnd_;
    }

    std::vector<uint8_t> bins_;
    size_t next_ = 0;
    size_t binEnd_ = 0;
};

struct ListEntry {
    uint32_t cell;
    uint32_t hash;
};

// The hash an lh leaf keeps beside each subkey, over the upper-cased name.
uint32_t NameHash(const std::string &name) {
    uint32_t hash = 0;
    for (unsigned char c : name)
        hash = hash * 37 + static_cast<uint32_t>(toupper(c));
    return hash;
}

std::string Upper(const std::string &name) {
    std::string out = name;
    for (char &c : out)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return out;
}

class Layout {
  public:
    Layout(size_t leafSize, HiveCounts *counts) : leafSize_(leafSize), counts_(counts) {}

    bool Write(const BenchKey &root, std::vector<uint8_t> *image);

  private:
    uint32_t Key(const BenchKey &key, uint32_t parent, uint16_t flags);
    void Values(uint32_t nk, const std::vector<BenchValue> &values);
    uint32_t Value(const BenchValue &value);
    bool Subkeys(uint32_t nk, const BenchKey &key);
    uint32_t Leaf(const std::vector<ListEntry> &entries, size_t from, size_t count);
    uint32_t SubkeyList(const std::vector<ListEntry> &entries);
    uint32_t CopySecurity(const std::vector<uint8_t> &empty);

    Cells cells_;
    size_t leafSize_;
    HiveCounts *counts_;
    uint32_t security_ = kNoCell;
    uint64_t stamp_ = CurrentFiletime();
    bool duplicate_ = false;
};

// The descriptor of an empty hive, shared by every key as in a hive where
// nobody changed a permission; its count of users must be right, because
// hivex frees it when a delete takes the count to zero.
uint32_t Layout::CopySecurity(const std::vector<uint8_t> &empty) {
    const uint8_t *bin = empty.data() + kBaseBlockSize;
    uint32_t rootCell = ReadLe32(empty.data() + kRootCellOffset);
    uint32_t from = ReadLe32(bin + rootCell + 0x30);
    uint32_t size = 0u - ReadLe32(bin + from);
    uint32_t at = cells_.Allocate(size);
    memcpy(cells_.At(at) + 4, bin + from + 4, size - 4);
    WriteLe32(cells_.At(at) + 8, at);
    WriteLe32(cells_.At(at) + 12, at);
    return at;
}

uint32_t Layout::Key(const BenchKey &key, uint32_t parent, uint16_t flags) {
    counts_->keys++;
    uint32_t nk = cells_.Allocate(kKeyCellHeaderSize + key.name.size());
    uint8_t *p = cells_.At(nk);
    memcpy(p + 4, "nk", 2);
    WriteLe16(p + 6, flags);
    WriteLe64(p + 8, stamp_);
    WriteLe32(p + 0x14, parent);
    for (size_t field : {0x20, 0x24, 0x2C, 0x34})
        WriteLe32(p + field, kNoCell);
    WriteLe32(p + 0x30, security_);
    WriteLe16(p + 0x4C, static_cast<uint16_t>(key.name.size()));
    memcpy(p + kKeyCellHeaderSize, key.name.data(), key.name.size());
    Values(nk, key.values);
    return Subkeys(nk, key) ? nk : kNoCell;
}

uint32_t Layout::Value(const BenchValue &value) {
    counts_->values++;
    uint32_t length = static_cast<uint32_t>(value.data.size());
    uint32_t data = 0;
    if (length > 4) {
        data = cells_.Allocate(4 + length);
        memcpy(cells_.At(data) + 4, value.data.data(), length);
    } else {
        memcpy(&data, value.data.data(), length); // stored in place, as bytes
        length |= kInlineData;
    }
    uint32_t vk = cells_.Allocate(kValueCellHeaderSize + value.name.size());
    uint8_t *p = cells_.At(vk);
    memcpy(p + 4, "vk", 2);
    WriteLe16(p + 6, static_cast<uint16_t>(value.name.size()));
    WriteLe32(p + 8, length);
    memcpy(p + 0x0C, &data, 4);
    WriteLe32(p + 0x10, value.type);
    WriteLe16(p + 0x14, 1); // compressed name
    memcpy(p + kValueCellHeaderSize, value.name.data(), value.name.size());
    return vk;
}

void Layout::Values(uint32_t nk, const std::vector<BenchValue> &values) {
    if (values.empty())
        return;
    std::vector<uint32_t> cells;
    size_t longestName = 0, longestData = 0;
    for (const BenchValue &value : values) {
        cells.push_back(Value(value));
        longestName = std::max(longestName, value.name.size());
        longestData = std::max(longestData, value.data.size());
    }
    uint32_t list = cells_.Allocate(4 + 4 * cells.size());
    for (size_t i = 0; i < cells.size(); i++)
        WriteLe32(cells_.At(list) + 4 + 4 * i, cells[i]);
    uint8_t *p = cells_.At(nk);
    WriteLe32(p + 0x28, static_cast<uint32_t>(cells.size()));
    WriteLe32(p + 0x2C, list);
    WriteLe32(p + 0x40, static_cast<uint32_t>(2 * longestName));
    WriteLe32(p + 0x44, static_cast<uint32_t>(longestData));
}

uint32_t Layout::Leaf(const std::vector<ListEntry> &entries, size_t from, size_t count) {
    uint32_t leaf = cells_.Allocate(8 + 8 * count);
    uint8_t *p = cells_.At(leaf);
    memcpy(p + 4, "lh", 2);
    WriteLe16(p + 6, static_cast<uint16_t>(count));
    for (size_t i = 0; i < count; i++) {
        WriteLe32(p + 8 + 8 * i, entries[from + i].cell);
        WriteLe32(p + 12 + 8 * i, entries[from + i].hash);
    }
    return leaf;
}

uint32_t Layout::SubkeyList(const std::vector<ListEntry> &entries) {
    if (entries.size() <= leafSize_)
        return Leaf(entries, 0, entries.size());
    std::vector<uint32_t> leaves;
    for (size_t from = 0; from < entries.size(); from += leafSize_)
        leaves.push_back(Leaf(entries, from, std::min(leafSize_, entries.size() - from)));
    uint32_t index = cells_.Allocate(8 + 4 * leaves.size());
    uint8_t *p = cells_.At(index);
    memcpy(p + 4, "ri", 2);
    WriteLe16(p + 6, static_cast<uint16_t>(leaves.size()));
    for (size_t i = 0; i < leaves.size(); i++)
        WriteLe32(p + 8 + 4 * i, leaves[i]);
    return index;
}

// Subkeys are listed in the order of their upper-cased names, the order in
// which the system searches a list.
bool Layout::Subkeys(uint32_t nk, const BenchKey &key) {
    if (key.children.empty())
        return true;
    std::vector<std::pair<std::string, const BenchKey *>> sorted;
    for (const auto &child : key.children)
        sorted.emplace_back(Upper(child->name), child.get());
    std::sort(sorted.begin(), sorted.end());
    std::vector<ListEntry> entries;
    size_t longest = 0;
    for (size_t i = 0; i < sorted.size(); i++) {
        duplicate_ |= i > 0 && sorted[i].first == sorted[i - 1].first;
        uint32_t cell = Key(*sorted[i].second, nk, kCompressedName);
        entries.push_back({cell, NameHash(sorted[i].first)});
        longest = std::max(longest, sorted[i].first.size());
    }
    uint32_t list = SubkeyList(entries);
    uint8_t *p = cells_.At(nk);
    WriteLe32(p + 0x18, static_cast<uint32_t>(entries.size()));
    WriteLe32(p + 0x20, list);
    WriteLe32(p + 0x38, static_cast<uint32_t>(2 * longest));
    return !duplicate_;
}

bool Layout::Write(const BenchKey &root, std::vector<uint8_t> *image) {
    std::vector<uint8_t> empty = BuildEmptyHive(root.name, stamp_);
    security_ = CopySecurity(empty);
    uint32_t rootCell = Key(root, kNoCell, kRootFlags);
    WriteLe32(cells_.At(security_) + 16, static_cast<uint32_t>(counts_->keys));
    std::vector<uint8_t> bins = cells_.Finish();
    if (rootCell == kNoCell || duplicate_)
        return false;
    image->assign(empty.begin(), empty.begin() + kBaseBlockSize);
    image->insert(image->end(), bins.begin(), bins.end());
    WriteLe32(image->data() + kRootCellOffset, rootCell);
    WriteLe32(image->data() + kBinsSizeOffset, static_cast<uint32_t>(bins.size()));
    // The system takes a checksum of 0 or ~0 for a damaged header.
    uint32_t sum;
    while ((sum = BaseBlockChecksum(image->data())) == 0 || sum == 0xFFFFFFFF)
        WriteLe64(image->data() + kTimestampOffset, ++stamp_);
    WriteLe32(image->data() + kChecksumOffset, sum);
    return true;
}

} // namespace

BenchKey *BenchKey::Add(const std::string &childName) {
    children.push_back(std::make_unique<BenchKey>());
    children.back()->name = childName;
    return children.back().get();
}

void BenchKey::Set(const std::string &valueName, uint32_t type, std::vector<uint8_t> data) {
    values.push_back({valueName, type, std::move(data)});
}

std::vector<uint8_t> LayOutHive(const BenchKey &root, size_t leafSize, HiveCounts *counts) {
    std::vector<uint8_t> image;
    *counts = HiveCounts();
    Layout layout(leafSize, counts);
    if (!layout.Write(root, &image))
        image.clear();
    return image;
}

std::vector<uint8_t> WideString(const std::string &ascii) {
    std::vector<uint8_t> out;
    for (char c : ascii) {
        out.push_back(static_cast<uint8_t>(c));
        out.push_back(0);
    }
    out.push_back(0);
    out.push_back(0);
    return out;
}

std::vector<uint8_t> Dword(uint32_t value) {
    std::vector<uint8_t> out(4);
    WriteLe32(out.data(), value);
    return out;
}
