// The structure of a whole hive image, read from the bytes alone: the bins
// and the cells that tile them, and everything reachable from the root
// key.  The backend runs it before the editor sees a hive, because the
// editor frees what a deleted key's links name, and a link to something
// that is not a cell of that key would corrupt the hive further;
// tools/hivecheck runs it with the stricter checks that matter to Windows
// but not to the editor.
#include "file.h"
#include "keycell.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace {

// The system's own limit on nesting, which keeps any walk of the tree
// by recursion within the stack.
constexpr uint32_t kDeepestKey = 512;

// One bit for each 8-byte step of the bins, where cells may start.
class CellMap {
  public:
    explicit CellMap(uint32_t bins) : bits_(bins / 8 / 64 + 1) {}
    void Set(uint32_t offset) {
        bits_[offset / 8 / 64] |= uint64_t{1} << (offset / 8 % 64);
    }
    bool Test(uint32_t offset) const {
        return (bits_[offset / 8 / 64] >> (offset / 8 % 64)) & 1;
    }

  private:
    std::vector<uint64_t> bits_;
};

struct Walk {
    const uint8_t *image;
    uint32_t bins;
    bool strict;
    size_t most;
    CellMap cells;
    CellMap keys;
    CellMap owned; // lists, values, data and class names: each has one owner
    std::unordered_map<uint32_t, uint32_t> securityUsers;
    std::vector<uint32_t> children; // of the key at hand, kept to spare allocations
    HiveStructureReport *report;

    Walk(const uint8_t *i, uint32_t b, const HiveCheckOptions &o, HiveStructureReport *r)
        : image(i), bins(b), strict(o.strict), most(o.mostProblems), cells(b), keys(b), owned(b),
          report(r) {}
    bool Full() const {
        return report->problems.size() >= most;
    }
};

void Problem(Walk &w, const char *format, ...) __attribute__((format(printf, 2, 3)));

void Problem(Walk &w, const char *format, ...) {
    if (w.Full())
        return;
    char line[256];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    w.report->problems.push_back(line);
}

// Offsets in the hive count from the first bin, which follows the base block.
const uint8_t *CellData(const Walk &w, uint32_t cell) {
    return w.image + kBaseBlockSize + cell + 4;
}

// Bytes of data in the allocated cell starting at offset; 0 when no
// allocated cell starts there.
uint32_t DataLength(const Walk &w, uint32_t offset) {
    if (offset >= w.bins || offset % 8 != 0 || !w.cells.Test(offset))
        return 0;
    return 0u - ReadLe32(CellData(w, offset) - 4) - 4;
}

// The data of the allocated cell at offset when it holds at least need
// bytes and starts with the two-letter signature; otherwise null, with the
// problem reported on behalf of what.
const uint8_t *Record(Walk &w, uint32_t offset, uint32_t need, const char *signature,
                      const char *what) {
    uint32_t length = DataLength(w, offset);
    if (length == 0) {
        Problem(w, "%s at 0x%x is not an allocated cell", what, offset);
        return nullptr;
    }
    const uint8_t *data = CellData(w, offset);
    if (length < need || memcmp(data, signature, 2) != 0) {
        Problem(w, "%s at 0x%x is not a %s record", what, offset, signature);
        return nullptr;
    }
    return data;
}

// The fields the backend checks on its own before it gets here, with its
// own words; only the strict check repeats them.
void CheckHeaderFields(Walk &w) {
    const uint8_t *base = w.image;
    if (BaseBlockChecksum(base) != ReadLe32(base + kChecksumOffset))
        Problem(w, "base block checksum 0x%08x, the block sums to 0x%08x",
                ReadLe32(base + kChecksumOffset), BaseBlockChecksum(base));
    if (ReadLe32(base + kSequence1Offset) != ReadLe32(base + kSequence2Offset))
        Problem(w, "sequence numbers %u and %u differ: a write did not finish",
                ReadLe32(base + kSequence1Offset), ReadLe32(base + kSequence2Offset));
    if (ReadLe32(base + kMajorVersionOffset) != 1 || ReadLe32(base + kFileTypeOffset) != 0 ||
        ReadLe32(base + kFileFormatOffset) != 1)
        Problem(w, "not a primary hive file of format version 1");
}

// The bytes of bins the walk may read: what the header declares, or what
// the file holds of it when it is cut short.  0 when there is no hive.
uint32_t UsableBins(const uint8_t *image, size_t size, HiveStructureReport *report) {
    if (size < kBaseBlockSize || memcmp(image, "regf", 4) != 0) {
        report->problems.push_back("no hive signature in a base block");
        return 0;
    }
    uint32_t bins = ReadLe32(image + kBinsSizeOffset);
    if (bins == 0 || bins % kBinAlignment != 0) {
        report->problems.push_back("hive bins size is not a whole number of bins");
        return 0;
    }
    if (bins > size - kBaseBlockSize) {
        char line[128];
        snprintf(line, sizeof line, "header declares 0x%x bytes of bins, the file holds 0x%zx",
                 bins, size - kBaseBlockSize);
        report->problems.push_back(line);
        bins = static_cast<uint32_t>((size - kBaseBlockSize) & ~(kBinAlignment - 1));
    }
    return bins;
}

// Walks the cells of one bin; they must tile it exactly.
void CheckCells(Walk &w, uint32_t bin, uint32_t size) {
    uint32_t end = bin + size;
    for (uint32_t at = bin + kBinHeaderSize; at < end;) {
        int32_t raw = static_cast<int32_t>(ReadLe32(CellData(w, at) - 4));
        uint32_t length = raw < 0 ? 0u - static_cast<uint32_t>(raw) : static_cast<uint32_t>(raw);
        if (length < 8 || length % 8 != 0 || length > end - at) {
            Problem(w, "cell at 0x%x has size %d, which does not fit its bin at 0x%x", at, raw,
                    bin);
            return;
        }
        if (raw < 0)
            w.cells.Set(at);
        else
            w.report->space.cells.emplace_back(at, length);
        at += length;
    }
}

// The bins must follow one another without gaps, each saying where it is,
// up to exactly the size the header declares.
bool CheckBins(Walk &w) {
    for (uint32_t at = 0; at < w.bins;) {
        const uint8_t *bin = w.image + kBaseBlockSize + at;
        uint32_t size = ReadLe32(bin + 8);
        if (memcmp(bin, "hbin", 4) != 0) {
            Problem(w, "no bin signature at 0x%x", at);
            return false;
        }
        if (ReadLe32(bin + 4) != at)
            Problem(w, "bin at 0x%x says it is at 0x%x", at, ReadLe32(bin + 4));
        if (size == 0 || size % kBinAlignment != 0 || size > w.bins - at) {
            Problem(w, "bin at 0x%x has size 0x%x, which does not fit the bins", at, size);
            return false;
        }
        w.report->space.bins.emplace_back(at, size);
        CheckCells(w, at, size);
        at += size;
    }
    return true;
}

// A key name, in upper case for the order subkey lists keep and the hash
// an "lh" list keeps; empty when it holds a character beyond ASCII, whose
// upper case this check leaves to the system, or runs past its cell (which
// is reported with the key's other fields).
std::u16string KeyName(const Walk &w, uint32_t key, bool upper) {
    const uint8_t *nk = CellData(w, key);
    uint16_t length = ReadLe16(nk + kKeyNameLength);
    bool compressed = ReadLe16(nk + 2) & kCompressedKeyName;
    std::u16string name;
    if (kKeyName + length > DataLength(w, key) || (!compressed && length % 2 != 0))
        return name;
    for (size_t i = 0; i < length; i += compressed ? 1 : 2) {
        char16_t c = compressed ? nk[kKeyName + i] : ReadLe16(nk + kKeyName + i);
        if (c >= 0x80)
            return u"";
        name += (upper && c >= 'a' && c <= 'z') ? static_cast<char16_t>(c - 32) : c;
    }
    return name;
}

// The hint a hashed list keeps beside a subkey: in an "lh" list the hash
// of the upper-case name, in an "lf" list its first four characters.  The
// system finds a key by it, so a wrong one hides the key from the system
// while every other reader still sees it.
void CheckHint(Walk &w, uint32_t list, bool lh, uint32_t key, uint32_t hint) {
    if (DataLength(w, key) < kKeyName || memcmp(CellData(w, key), "nk", 2) != 0)
        return; // reported as the subkey is walked
    std::u16string name = KeyName(w, key, lh);
    uint32_t expected = 0;
    for (size_t i = 0; i < name.size() && (lh || i < 4); i++)
        expected = lh ? expected * 37 + name[i] : expected | uint32_t{name[i]} << (8 * i);
    if (!name.empty() && hint != expected)
        Problem(w, "subkey list at 0x%x keeps the hint 0x%08x for key 0x%x, its name gives 0x%08x",
                list, hint, key, expected);
}

// Every cell but a security cell belongs to one key, and the editor frees
// it with that key: a cell claimed twice would be freed while still in
// use.  Offsets outside the bins are another
// check's concern.
bool Claim(Walk &w, uint32_t cell, const char *what) {
    if (cell >= w.bins || cell % 8 != 0)
        return true;
    if (w.owned.Test(cell)) {
        Problem(w, "%s at 0x%x is used twice", what, cell);
        return false;
    }
    w.owned.Set(cell);
    return true;
}

// Gathers the key cells a subkey list names, through one level of index
// ("ri") lists; false when the list itself is unusable.
bool CollectList(Walk &w, uint32_t key, uint32_t list, bool index, std::vector<uint32_t> *out) {
    uint32_t length = DataLength(w, list);
    if (length < 4) {
        Problem(w, "subkey list of key 0x%x at 0x%x is not an allocated cell", key, list);
        return false;
    }
    const uint8_t *data = CellData(w, list);
    bool hashed = memcmp(data, "lf", 2) == 0 || memcmp(data, "lh", 2) == 0;
    bool nested = index && memcmp(data, "ri", 2) == 0;
    if (!hashed && !nested && memcmp(data, "li", 2) != 0) {
        Problem(w, "subkey list of key 0x%x at 0x%x has no list signature", key, list);
        return false;
    }
    if (!Claim(w, list, "subkey list"))
        return false;
    uint32_t count = ReadLe16(data + 2), stride = hashed ? 8 : 4;
    if (4 + static_cast<uint64_t>(count) * stride > length) {
        Problem(w, "subkey list at 0x%x claims %u entries, its cell holds fewer", list, count);
        return false;
    }
    for (uint32_t i = 0; i < count; i++) {
        uint32_t entry = ReadLe32(data + 4 + i * stride);
        if (hashed && w.strict)
            CheckHint(w, list, data[1] == 'h', entry, ReadLe32(data + 8 + i * stride));
        if (nested && !CollectList(w, key, entry, false, out))
            return false;
        if (!nested)
            out->push_back(entry);
    }
    return true;
}

// A key still to be walked, with its level below the root (which is 1).
struct Pending {
    uint32_t key;
    uint32_t depth;
};

// Each subkey must be a key that names this one as its parent, reached
// only once, and (strictly) in the case-insensitive order the system
// searches them in.
void CheckChildren(Walk &w, const Pending &parent, const std::vector<uint32_t> &children,
                   std::vector<Pending> *pending) {
    uint32_t key = parent.key;
    std::u16string previous;
    for (uint32_t child : children) {
        const uint8_t *nk = Record(w, child, kKeyName, "nk", "subkey");
        if (nk == nullptr)
            continue;
        if (ReadLe32(nk + kKeyParent) != key)
            Problem(w, "key 0x%x lists subkey 0x%x, whose parent link is 0x%x", key, child,
                    ReadLe32(nk + kKeyParent));
        if (w.keys.Test(child)) {
            Problem(w, "key 0x%x is reached twice (last from key 0x%x)", child, key);
            continue;
        }
        w.keys.Set(child);
        if (w.strict) {
            std::u16string name = KeyName(w, child, true);
            if (!name.empty() && !previous.empty() && name <= previous)
                Problem(w, "subkeys of key 0x%x are out of order or repeated at 0x%x", key, child);
            previous = name;
        }
        pending->push_back({child, parent.depth + 1});
    }
}

void CheckSubkeys(Walk &w, const Pending &at, const uint8_t *nk, std::vector<Pending> *pending) {
    uint32_t key = at.key;
    uint32_t count = ReadLe32(nk + kKeySubkeyCount);
    uint32_t list = ReadLe32(nk + kKeySubkeyList);
    if (count == 0 && list == kNoCell)
        return;
    if (at.depth >= kDeepestKey) {
        Problem(w, "key 0x%x has subkeys deeper than the %u levels the system allows", key,
                kDeepestKey);
        return;
    }
    w.children.clear();
    if (!CollectList(w, key, list, true, &w.children))
        return;
    if (w.children.size() != count)
        Problem(w, "key 0x%x counts %u subkeys, its list holds %zu", key, count, w.children.size());
    CheckChildren(w, at, w.children, pending);
}

// Data above the plain limit lies in segments listed behind a "db" cell.
// Some writers keep it in one cell instead, which reads back well enough;
// only the strict check holds that against a hive.
void CheckBigData(Walk &w, uint32_t value, uint32_t data, uint32_t size) {
    if (!Claim(w, data, "value data"))
        return;
    if (DataLength(w, data) < 8 || memcmp(CellData(w, data), "db", 2) != 0) {
        if (w.strict || DataLength(w, data) < size)
            Problem(w, "value 0x%x keeps %u bytes without the segment list the format requires",
                    value, size);
        return;
    }
    const uint8_t *db = CellData(w, data);
    uint32_t count = ReadLe16(db + 2), list = ReadLe32(db + 4);
    if (DataLength(w, list) / 4 < count) {
        Problem(w, "segment list of value 0x%x at 0x%x does not hold %u segments", value, list,
                count);
        return;
    }
    if (!Claim(w, list, "segment list"))
        return;
    uint64_t held = 0;
    for (uint32_t i = 0; i < count; i++) {
        uint32_t segment = ReadLe32(CellData(w, list) + 4 * i);
        if (!Claim(w, segment, "data segment"))
            return;
        held += DataLength(w, segment);
    }
    if (held < size)
        Problem(w, "segments of value 0x%x hold %llu of its %u bytes", value,
                static_cast<unsigned long long>(held), size);
}

void CheckValue(Walk &w, uint32_t value) {
    const uint8_t *vk = Record(w, value, kValueHeader, "vk", "value");
    if (vk == nullptr || !Claim(w, value, "value"))
        return;
    w.report->values++;
    if (kValueHeader + ReadLe16(vk + 2) > DataLength(w, value))
        Problem(w, "name of value 0x%x runs past its cell", value);
    uint32_t size = ReadLe32(vk + 4), data = ReadLe32(vk + 8);
    if (size & kInlineData) {
        if ((size & ~kInlineData) > 4)
            Problem(w, "value 0x%x keeps %u bytes inline, at most 4 fit", value,
                    size & ~kInlineData);
    } else if (size > kLargestPlainData && ReadLe32(w.image + kMinorVersionOffset) >= 4) {
        CheckBigData(w, value, data, size);
    } else if (!Claim(w, data, "value data")) {
        return;
    } else if (DataLength(w, data) < size || DataLength(w, data) == 0) {
        // Even empty data kept outside the value is a cell freed with the
        // value.
        Problem(w, "data of value 0x%x (%u bytes) does not fit an allocated cell at 0x%x", value,
                size, data);
    }
}

void CheckValues(Walk &w, uint32_t key, const uint8_t *nk) {
    uint32_t count = ReadLe32(nk + kKeyValueCount);
    uint32_t list = ReadLe32(nk + kKeyValueList);
    if (count == 0)
        return;
    if (DataLength(w, list) / 4 < count) {
        Problem(w, "value list of key 0x%x at 0x%x does not hold its %u values", key, list, count);
        return;
    }
    if (!Claim(w, list, "value list"))
        return;
    for (uint32_t i = 0; i < count && !w.Full(); i++)
        CheckValue(w, ReadLe32(CellData(w, list) + 4 * i));
}

// The name, class and security descriptor of one key.
void CheckKeyFields(Walk &w, uint32_t key, const uint8_t *nk) {
    if (kKeyName + ReadLe16(nk + kKeyNameLength) > DataLength(w, key))
        Problem(w, "name of key 0x%x runs past its cell", key);
    // The class cell is freed with the key whatever length is recorded.
    uint32_t keyClass = ReadLe32(nk + kKeyClass);
    uint16_t classLength = ReadLe16(nk + kKeyClassLength);
    if ((classLength > 0 || keyClass != kNoCell) &&
        (DataLength(w, keyClass) < classLength || DataLength(w, keyClass) == 0))
        Problem(w, "class name of key 0x%x does not fit an allocated cell", key);
    else if (keyClass != kNoCell)
        Claim(w, keyClass, "class name");
    uint32_t security = ReadLe32(nk + kKeySecurity);
    if (Record(w, security, kSecurityHeader, "sk", "security of a key") != nullptr)
        w.securityUsers[security]++;
}

// Depth first from the root, with a stack of its own so that a deep or
// looping hive cannot exhaust the process's.
void CheckKeys(Walk &w) {
    uint32_t root = ReadLe32(w.image + kRootCellOffset);
    std::vector<Pending> pending{{root, 1}};
    if (root < w.bins && root % 8 == 0)
        w.keys.Set(root);
    while (!pending.empty() && !w.Full()) {
        Pending at = pending.back();
        uint32_t key = at.key;
        pending.pop_back();
        const uint8_t *nk = Record(w, key, kKeyName, "nk", "key");
        if (nk == nullptr)
            continue;
        w.report->keys++;
        CheckKeyFields(w, key, nk);
        CheckValues(w, key, nk);
        CheckSubkeys(w, at, nk, &pending);
    }
}

// One security cell in the ring of them: its neighbour must point back, and
// its reference count must cover the keys that name it (strictly, equal
// them), since the editor frees the cell when a deletion brings the count
// to nothing.
bool CheckSecurityCell(Walk &w, uint32_t at, uint32_t *next) {
    const uint8_t *sk = Record(w, at, kSecurityHeader, "sk", "security cell");
    if (sk == nullptr)
        return false;
    *next = ReadLe32(sk + 4);
    const uint8_t *following = Record(w, *next, kSecurityHeader, "sk", "next security cell");
    if (following == nullptr)
        return false;
    if (ReadLe32(following + 8) != at)
        Problem(w, "security cell 0x%x is followed by 0x%x, which points back to 0x%x", at, *next,
                ReadLe32(following + 8));
    // A hive saved by a running system may count references from volatile
    // keys, which are not in the file; too many references only keep a
    // cell alive, too few would free one still in use.
    auto users = w.securityUsers.find(at);
    uint32_t count = users == w.securityUsers.end() ? 0 : users->second;
    uint32_t references = ReadLe32(sk + 0xC);
    if (references < count || (w.strict && references != count))
        Problem(w, "security cell 0x%x counts %u references, %u keys name it", at, references,
                count);
    if (kSecurityHeader + ReadLe32(sk + 0x10) > DataLength(w, at))
        Problem(w, "descriptor of security cell 0x%x runs past its cell", at);
    return true;
}

void CheckSecurity(Walk &w) {
    if (w.securityUsers.empty())
        return;
    uint32_t start = w.securityUsers.begin()->first, at = start;
    std::unordered_set<uint32_t> ring;
    do {
        if (!ring.insert(at).second) {
            Problem(w, "security cells loop at 0x%x without coming back to 0x%x", at, start);
            break;
        }
        if (!CheckSecurityCell(w, at, &at))
            break;
    } while (at != start && !w.Full());
    for (const auto &used : w.securityUsers) {
        if (ring.count(used.first) == 0)
            Problem(w, "security cell 0x%x is named by keys but not in the ring", used.first);
    }
}

} // namespace

HiveStructureReport CheckHiveStructure(const uint8_t *image, size_t size,
                                       const HiveCheckOptions &options) {
    HiveStructureReport report;
    uint32_t bins = UsableBins(image, size, &report);
    if (bins == 0)
        return report;
    Walk w(image, bins, options, &report);
    if (options.strict)
        CheckHeaderFields(w);
    if (CheckBins(w)) {
        CheckKeys(w);
        CheckSecurity(w);
    }
    report.securityCells = w.securityUsers.size();
    return report;
}
