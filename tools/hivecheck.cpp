// hivecheck HIVE: checks the structure of a registry hive file by reading
// the bytes itself, without the library that wrote them, so that a damaged
// write cannot hide behind the same misreading that produced it.
//
// Exit status 0 when the hive is sound (one summary line on stdout), 1
// when it is not (one line per problem on stdout), 2 on usage.
#include "platform/posix/hivefile.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kNoCell = 0xFFFFFFFF;
constexpr uint16_t kCompressedName = 0x20;
constexpr uint32_t kInlineData = 0x80000000;
// Larger values are kept in segments behind a "db" cell from version 1.4.
constexpr uint32_t kLargestPlainData = 16344;
constexpr size_t kMostProblemsShown = 50;

// Offsets within the data of a key node, after the cell's size word.
constexpr size_t kKeyParent = 0x10;
constexpr size_t kKeySubkeyCount = 0x14;
constexpr size_t kKeySubkeyList = 0x1C;
constexpr size_t kKeyValueCount = 0x24;
constexpr size_t kKeyValueList = 0x28;
constexpr size_t kKeySecurity = 0x2C;
constexpr size_t kKeyClass = 0x30;
constexpr size_t kKeyNameLength = 0x48;
constexpr size_t kKeyClassLength = 0x4A;
constexpr size_t kKeyName = 0x4C;

struct Hive {
    std::vector<uint8_t> file;
    uint32_t bins = 0;                          // bytes of hive bins the header declares
    std::map<uint32_t, uint32_t> cells;         // allocated cells: offset -> size
    std::set<uint32_t> keys;                    // key cells reached from the root
    std::map<uint32_t, uint32_t> securityUsers; // security cell -> keys naming it
    size_t values = 0;
    std::vector<std::string> problems;
};

void Problem(Hive &h, const char *format, ...) __attribute__((format(printf, 2, 3)));

void Problem(Hive &h, const char *format, ...) {
    char line[256];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    h.problems.push_back(line);
}

uint16_t ReadLe16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

const uint8_t *Base(const Hive &h) {
    return h.file.data();
}

// Offsets in the hive count from the first bin, which follows the base block.
const uint8_t *CellData(const Hive &h, uint32_t cell) {
    return h.file.data() + kBaseBlockSize + cell + 4;
}

// Bytes of data in the allocated cell starting at offset; 0 when no
// allocated cell starts there.
uint32_t DataLength(const Hive &h, uint32_t offset) {
    auto found = h.cells.find(offset);
    return found == h.cells.end() ? 0 : found->second - 4;
}

// The data of the allocated cell at offset when it holds at least need
// bytes and starts with the two-letter signature; otherwise null, with the
// problem reported on behalf of what.
const uint8_t *Record(Hive &h, uint32_t offset, uint32_t need, const char *signature,
                      const char *what) {
    uint32_t length = DataLength(h, offset);
    if (length == 0) {
        Problem(h, "%s at 0x%x is not an allocated cell", what, offset);
        return nullptr;
    }
    const uint8_t *data = CellData(h, offset);
    if (length < need || (signature != nullptr && memcmp(data, signature, 2) != 0)) {
        Problem(h, "%s at 0x%x is not a %s record", what, offset, signature ? signature : "data");
        return nullptr;
    }
    return data;
}

bool CheckBaseBlock(Hive &h) {
    const uint8_t *base = Base(h);
    if (h.file.size() < kBaseBlockSize || memcmp(base, "regf", 4) != 0) {
        Problem(h, "no hive signature in a base block");
        return false;
    }
    if (BaseBlockChecksum(base) != ReadLe32(base + kChecksumOffset))
        Problem(h, "base block checksum 0x%08x, the block sums to 0x%08x",
                ReadLe32(base + kChecksumOffset), BaseBlockChecksum(base));
    if (ReadLe32(base + kSequence1Offset) != ReadLe32(base + kSequence2Offset))
        Problem(h, "sequence numbers %u and %u differ: a write did not finish",
                ReadLe32(base + kSequence1Offset), ReadLe32(base + kSequence2Offset));
    if (ReadLe32(base + kMajorVersionOffset) != 1 || ReadLe32(base + kFileTypeOffset) != 0 ||
        ReadLe32(base + kFileFormatOffset) != 1)
        Problem(h, "not a primary hive file of format version 1");
    h.bins = ReadLe32(base + kBinsSizeOffset);
    if (h.bins == 0 || h.bins % kBinAlignment != 0) {
        Problem(h, "hive bins size 0x%x is not a whole number of bins", h.bins);
        return false;
    }
    if (h.bins > h.file.size() - kBaseBlockSize) {
        Problem(h, "header declares 0x%x bytes of bins, the file holds 0x%zx", h.bins,
                h.file.size() - kBaseBlockSize);
        h.bins = static_cast<uint32_t>((h.file.size() - kBaseBlockSize) & ~(kBinAlignment - 1));
    }
    return true;
}

// Walks the cells of one bin; they must tile it exactly.
void CheckCells(Hive &h, uint32_t bin, uint32_t size) {
    uint32_t end = bin + size;
    for (uint32_t at = bin + kBinHeaderSize; at < end;) {
        int32_t raw = static_cast<int32_t>(ReadLe32(CellData(h, at) - 4));
        uint32_t length = raw < 0 ? 0u - static_cast<uint32_t>(raw) : static_cast<uint32_t>(raw);
        if (length < 8 || length % 8 != 0 || length > end - at) {
            Problem(h, "cell at 0x%x has size %d, which does not fit its bin at 0x%x", at, raw,
                    bin);
            return;
        }
        if (raw < 0)
            h.cells[at] = length;
        at += length;
    }
}

// The bins must follow one another without gaps, each saying where it is,
// up to exactly the size the header declares.
void CheckBins(Hive &h) {
    for (uint32_t at = 0; at < h.bins;) {
        const uint8_t *bin = Base(h) + kBaseBlockSize + at;
        uint32_t size = ReadLe32(bin + 8);
        if (memcmp(bin, "hbin", 4) != 0) {
            Problem(h, "no bin signature at 0x%x", at);
            return;
        }
        if (ReadLe32(bin + 4) != at)
            Problem(h, "bin at 0x%x says it is at 0x%x", at, ReadLe32(bin + 4));
        if (size == 0 || size % kBinAlignment != 0 || size > h.bins - at) {
            Problem(h, "bin at 0x%x has size 0x%x, which does not fit the bins", at, size);
            return;
        }
        CheckCells(h, at, size);
        at += size;
    }
}

// A key name in upper case, for the order subkey lists must keep; empty
// when it holds a character whose upper case this check does not know, or
// runs past its cell (which is reported with the key's other fields).
std::u16string SortName(const Hive &h, uint32_t key) {
    const uint8_t *nk = CellData(h, key);
    uint16_t length = ReadLe16(nk + kKeyNameLength);
    bool compressed = ReadLe16(nk + 2) & kCompressedName;
    std::u16string name;
    if (kKeyName + length > DataLength(h, key) || (!compressed && length % 2 != 0))
        return name;
    for (size_t i = 0; i < length; i += compressed ? 1 : 2) {
        char16_t c = compressed ? nk[kKeyName + i] : ReadLe16(nk + kKeyName + i);
        if (c >= 0x80)
            return u"";
        name += (c >= 'a' && c <= 'z') ? static_cast<char16_t>(c - 32) : c;
    }
    return name;
}

// Gathers the key cells a subkey list names, through one level of index
// ("ri") lists; false when the list itself is unusable.
bool CollectList(Hive &h, uint32_t key, uint32_t list, bool index, std::vector<uint32_t> *out) {
    uint32_t length = DataLength(h, list);
    if (length < 4) {
        Problem(h, "subkey list of key 0x%x at 0x%x is not an allocated cell", key, list);
        return false;
    }
    const uint8_t *data = CellData(h, list);
    bool hashed = memcmp(data, "lf", 2) == 0 || memcmp(data, "lh", 2) == 0;
    bool nested = index && memcmp(data, "ri", 2) == 0;
    if (!hashed && !nested && memcmp(data, "li", 2) != 0) {
        Problem(h, "subkey list of key 0x%x at 0x%x has no list signature", key, list);
        return false;
    }
    uint32_t count = ReadLe16(data + 2), stride = hashed ? 8 : 4;
    if (4 + static_cast<uint64_t>(count) * stride > length) {
        Problem(h, "subkey list at 0x%x claims %u entries, its cell holds fewer", list, count);
        return false;
    }
    for (uint32_t i = 0; i < count; i++) {
        uint32_t entry = ReadLe32(data + 4 + i * stride);
        if (nested && !CollectList(h, key, entry, false, out))
            return false;
        if (!nested)
            out->push_back(entry);
    }
    return true;
}

// Each subkey must be a key that names this one as its parent, reached
// only once, in the case-insensitive order the system searches them in.
void CheckChildren(Hive &h, uint32_t key, const std::vector<uint32_t> &children,
                   std::vector<uint32_t> *pending) {
    std::u16string previous;
    for (uint32_t child : children) {
        const uint8_t *nk = Record(h, child, kKeyName, "nk", "subkey");
        if (nk == nullptr)
            continue;
        if (ReadLe32(nk + kKeyParent) != key)
            Problem(h, "key 0x%x lists subkey 0x%x, whose parent link is 0x%x", key, child,
                    ReadLe32(nk + kKeyParent));
        if (!h.keys.insert(child).second) {
            Problem(h, "key 0x%x is reached twice (last from key 0x%x)", child, key);
            continue;
        }
        std::u16string name = SortName(h, child);
        if (!name.empty() && !previous.empty() && name <= previous)
            Problem(h, "subkeys of key 0x%x are out of order or repeated at 0x%x", key, child);
        previous = name;
        pending->push_back(child);
    }
}

void CheckSubkeys(Hive &h, uint32_t key, const uint8_t *nk, std::vector<uint32_t> *pending) {
    uint32_t count = ReadLe32(nk + kKeySubkeyCount);
    uint32_t list = ReadLe32(nk + kKeySubkeyList);
    if (count == 0 && list == kNoCell)
        return;
    std::vector<uint32_t> children;
    if (!CollectList(h, key, list, true, &children))
        return;
    if (children.size() != count)
        Problem(h, "key 0x%x counts %u subkeys, its list holds %zu", key, count, children.size());
    CheckChildren(h, key, children, pending);
}

// Data above the plain limit lies in segments listed behind a "db" cell.
void CheckBigData(Hive &h, uint32_t value, uint32_t data, uint32_t size) {
    if (DataLength(h, data) < 8 || memcmp(CellData(h, data), "db", 2) != 0) {
        Problem(h, "value 0x%x keeps %u bytes without the segment list the format requires", value,
                size);
        return;
    }
    const uint8_t *db = CellData(h, data);
    uint32_t count = ReadLe16(db + 2), list = ReadLe32(db + 4);
    if (DataLength(h, list) / 4 < count) {
        Problem(h, "segment list of value 0x%x at 0x%x does not hold %u segments", value, list,
                count);
        return;
    }
    uint64_t held = 0;
    for (uint32_t i = 0; i < count; i++)
        held += DataLength(h, ReadLe32(CellData(h, list) + 4 * i));
    if (held < size)
        Problem(h, "segments of value 0x%x hold %llu of its %u bytes", value,
                static_cast<unsigned long long>(held), size);
}

void CheckValue(Hive &h, uint32_t value) {
    const uint8_t *vk = Record(h, value, 0x14, "vk", "value");
    if (vk == nullptr)
        return;
    h.values++;
    if (0x14u + ReadLe16(vk + 2) > DataLength(h, value))
        Problem(h, "name of value 0x%x runs past its cell", value);
    uint32_t size = ReadLe32(vk + 4), data = ReadLe32(vk + 8);
    if (size & kInlineData) {
        if ((size & ~kInlineData) > 4)
            Problem(h, "value 0x%x keeps %u bytes inline, at most 4 fit", value,
                    size & ~kInlineData);
    } else if (size > kLargestPlainData && ReadLe32(Base(h) + kMinorVersionOffset) >= 4) {
        CheckBigData(h, value, data, size);
    } else if (size > 0 && DataLength(h, data) < size) {
        Problem(h, "data of value 0x%x (%u bytes) does not fit an allocated cell at 0x%x", value,
                size, data);
    }
}

void CheckValues(Hive &h, uint32_t key, const uint8_t *nk) {
    uint32_t count = ReadLe32(nk + kKeyValueCount);
    uint32_t list = ReadLe32(nk + kKeyValueList);
    if (count == 0)
        return;
    if (DataLength(h, list) / 4 < count) {
        Problem(h, "value list of key 0x%x at 0x%x does not hold its %u values", key, list, count);
        return;
    }
    for (uint32_t i = 0; i < count; i++)
        CheckValue(h, ReadLe32(CellData(h, list) + 4 * i));
}

// The name, class and security descriptor of one key.
void CheckKeyFields(Hive &h, uint32_t key, const uint8_t *nk) {
    if (kKeyName + ReadLe16(nk + kKeyNameLength) > DataLength(h, key))
        Problem(h, "name of key 0x%x runs past its cell", key);
    uint16_t classLength = ReadLe16(nk + kKeyClassLength);
    if (classLength > 0 && DataLength(h, ReadLe32(nk + kKeyClass)) < classLength)
        Problem(h, "class name of key 0x%x does not fit an allocated cell", key);
    uint32_t security = ReadLe32(nk + kKeySecurity);
    if (Record(h, security, 0x14, "sk", "security of a key") != nullptr)
        h.securityUsers[security]++;
}

// Depth first from the root, with a stack of its own so that a deep or
// looping hive cannot exhaust ours.
void CheckKeys(Hive &h) {
    uint32_t root = ReadLe32(Base(h) + kRootCellOffset);
    std::vector<uint32_t> pending{root};
    h.keys.insert(root);
    while (!pending.empty()) {
        uint32_t key = pending.back();
        pending.pop_back();
        const uint8_t *nk = Record(h, key, kKeyName, "nk", "key");
        if (nk == nullptr)
            continue;
        CheckKeyFields(h, key, nk);
        CheckValues(h, key, nk);
        CheckSubkeys(h, key, nk, &pending);
    }
}

// One security cell in the ring of them: its neighbour must point back, and
// its reference count must equal the keys that name it.
bool CheckSecurityCell(Hive &h, uint32_t at, uint32_t *next) {
    const uint8_t *sk = Record(h, at, 0x14, "sk", "security cell");
    if (sk == nullptr)
        return false;
    *next = ReadLe32(sk + 4);
    const uint8_t *following = Record(h, *next, 0x14, "sk", "next security cell");
    if (following == nullptr)
        return false;
    if (ReadLe32(following + 8) != at)
        Problem(h, "security cell 0x%x is followed by 0x%x, which points back to 0x%x", at, *next,
                ReadLe32(following + 8));
    uint32_t users = h.securityUsers.count(at) ? h.securityUsers[at] : 0;
    if (ReadLe32(sk + 0xC) != users)
        Problem(h, "security cell 0x%x counts %u references, %u keys name it", at,
                ReadLe32(sk + 0xC), users);
    if (0x14u + ReadLe32(sk + 0x10) > DataLength(h, at))
        Problem(h, "descriptor of security cell 0x%x runs past its cell", at);
    return true;
}

void CheckSecurity(Hive &h) {
    if (h.securityUsers.empty())
        return;
    uint32_t start = h.securityUsers.begin()->first, at = start;
    std::set<uint32_t> ring;
    do {
        if (!ring.insert(at).second) {
            Problem(h, "security cells loop at 0x%x without coming back to 0x%x", at, start);
            break;
        }
        if (!CheckSecurityCell(h, at, &at))
            break;
    } while (at != start);
    for (const auto &used : h.securityUsers) {
        if (ring.count(used.first) == 0)
            Problem(h, "security cell 0x%x is named by keys but not in the ring", used.first);
    }
}

bool ReadFile(const char *path, std::vector<uint8_t> *bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    bytes->assign(std::istreambuf_iterator<char>(in), {});
    return !in.bad();
}

int Report(const char *path, const Hive &h) {
    if (h.problems.empty()) {
        printf("%s: sound: %zu keys, %zu values, %zu security cells\n", path, h.keys.size(),
               h.values, h.securityUsers.size());
        return 0;
    }
    for (size_t i = 0; i < h.problems.size() && i < kMostProblemsShown; i++)
        printf("%s: %s\n", path, h.problems[i].c_str());
    if (h.problems.size() > kMostProblemsShown)
        printf("%s: and %zu more problems\n", path, h.problems.size() - kMostProblemsShown);
    return 1;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s HIVE\n", argv[0]);
        return 2;
    }
    Hive h;
    if (!ReadFile(argv[1], &h.file)) {
        printf("%s: cannot be read\n", argv[1]);
        return 1;
    }
    if (CheckBaseBlock(h)) {
        CheckBins(h);
        CheckKeys(h);
        CheckSecurity(h);
    }
    return Report(argv[1], h);
}
