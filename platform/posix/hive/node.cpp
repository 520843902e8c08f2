#include "node.h"

#include "file.h"
#include "keycell.h"
#include "text.h"

#include <algorithm>
#include <cstring>
#include <set>

namespace {

// A leaf of a subkey list: its cell, kind and the keys it names, with the
// hints of a hashed kind, which are kept as found.
struct Leaf {
    uint32_t cell;
    char kind[2];
    std::vector<HiveNode> keys;
    std::vector<uint32_t> hints;
};

// The subkey list of a key: one leaf, or the leaves of an index ("ri").
struct SubkeyLists {
    uint32_t index = kNoCell; // the "ri" cell, when there is one
    std::vector<Leaf> leaves;
};

// Past this many entries a leaf is split, so that inserting stays cheap and
// a count always fits the list's 16 bits.
constexpr size_t kLargestLeaf = 1024;

LONG ReadLeaf(const HiveCells &hive, uint32_t cell, Leaf *leaf) {
    const uint8_t *data = hive.Data(cell, 4);
    if (data == nullptr)
        return ERROR_REGISTRY_CORRUPT;
    bool hashed = memcmp(data, "lf", 2) == 0 || memcmp(data, "lh", 2) == 0;
    if (!hashed && memcmp(data, "li", 2) != 0)
        return ERROR_REGISTRY_CORRUPT;
    uint32_t count = ReadLe16(data + 2), stride = hashed ? 8 : 4;
    if (4 + uint64_t{count} * stride > hive.Length(cell))
        return ERROR_REGISTRY_CORRUPT;
    leaf->cell = cell;
    memcpy(leaf->kind, data, 2);
    for (uint32_t i = 0; i < count; i++) {
        leaf->keys.push_back(ReadLe32(data + 4 + i * stride));
        if (hashed)
            leaf->hints.push_back(ReadLe32(data + 8 + i * stride));
    }
    return ERROR_SUCCESS;
}

LONG ReadLists(const HiveCells &hive, const uint8_t *nk, SubkeyLists *lists) {
    // An empty list the key still names is read too, so that it is freed
    // or reused rather than lost.
    uint32_t list = ReadLe32(nk + kKeySubkeyList);
    if (list == kNoCell)
        return ERROR_SUCCESS;
    const uint8_t *data = hive.Data(list, 4);
    if (data == nullptr)
        return ERROR_REGISTRY_CORRUPT;
    if (memcmp(data, "ri", 2) != 0) {
        lists->leaves.emplace_back();
        return ReadLeaf(hive, list, &lists->leaves.back());
    }
    uint32_t count = ReadLe16(data + 2);
    if (4 + uint64_t{count} * 4 > hive.Length(list))
        return ERROR_REGISTRY_CORRUPT;
    lists->index = list;
    for (uint32_t i = 0; i < count; i++) {
        lists->leaves.emplace_back();
        LONG rc = ReadLeaf(hive, ReadLe32(data + 4 + i * 4), &lists->leaves.back());
        if (rc != ERROR_SUCCESS)
            return rc;
    }
    return ERROR_SUCCESS;
}

const uint8_t *KeyData(const HiveCells &hive, HiveNode node) {
    return hive.Data(node, kKeyName, "nk");
}

// The name as the system sorts it.
LONG SortName(const HiveCells &hive, HiveNode node, std::u16string *name) {
    std::string utf8;
    LONG rc = NodeName(hive, node, &utf8);
    *name = Utf8ToUtf16(utf8);
    for (char16_t &c : *name)
        c = UpcaseUnit(c);
    return rc;
}

// The hash an "lh" leaf keeps, and the first characters an "lf" leaf keeps.
uint32_t NameHint(const char kind[2], const std::u16string &upper, const std::u16string &name) {
    uint32_t hint = 0;
    if (kind[1] == 'h') {
        for (char16_t c : upper)
            hint = hint * 37 + c;
        return hint;
    }
    // A name with a character that takes more than a byte gets no hint at
    // all, as the system leaves it.
    for (char16_t c : name)
        if (c > 0xFF)
            return 0;
    for (size_t i = 0; i < 4 && i < name.size(); i++)
        hint |= uint32_t{name[i]} << (8 * i);
    return hint;
}

// Writes keys as the leaf's entries, into its own cell when they fit or a
// new one; returns the cell now holding the leaf, 0 when none could be had.
uint32_t WriteLeaf(HiveCells *hive, const Leaf &leaf) {
    bool hashed = leaf.kind[1] != 'i';
    uint32_t stride = hashed ? 8 : 4, need = 4 + stride * static_cast<uint32_t>(leaf.keys.size());
    uint32_t cell = leaf.cell;
    if (cell == kNoCell || hive->Length(cell) < need) {
        if (!hive->Allocate(need, &cell))
            return 0;
        if (leaf.cell != kNoCell)
            hive->Free(leaf.cell);
    }
    uint8_t *data = hive->Change(cell, 0, need);
    memcpy(data, leaf.kind, 2);
    WriteLe16(data + 2, static_cast<uint16_t>(leaf.keys.size()));
    for (size_t i = 0; i < leaf.keys.size(); i++) {
        uint8_t *entry = data + 4 + i * stride;
        WriteLe32(entry, leaf.keys[i]);
        if (hashed)
            WriteLe32(entry + 4, leaf.hints[i]);
    }
    return cell;
}

// Writes the lists back after a change: empty leaves go, a leaf grown too
// large is split in two, and a key left with one leaf needs no index.
LONG WriteLists(HiveCells *hive, HiveNode node, SubkeyLists *lists) {
    std::vector<Leaf> leaves;
    for (Leaf &leaf : lists->leaves) {
        if (leaf.keys.empty()) {
            hive->Free(leaf.cell);
            continue;
        }
        if (leaf.keys.size() > kLargestLeaf) {
            Leaf upper{kNoCell, {leaf.kind[0], leaf.kind[1]}, {}, {}};
            upper.keys.assign(leaf.keys.begin() + kLargestLeaf / 2, leaf.keys.end());
            leaf.keys.resize(kLargestLeaf / 2);
            if (!leaf.hints.empty()) {
                upper.hints.assign(leaf.hints.begin() + kLargestLeaf / 2, leaf.hints.end());
                leaf.hints.resize(kLargestLeaf / 2);
            }
            leaves.push_back(std::move(leaf));
            leaves.push_back(std::move(upper));
            continue;
        }
        leaves.push_back(std::move(leaf));
    }
    uint32_t list = kNoCell;
    for (Leaf &leaf : leaves) {
        leaf.cell = WriteLeaf(hive, leaf);
        if (leaf.cell == 0)
            return ERROR_CANTWRITE;
    }
    if (leaves.size() == 1 && lists->index != kNoCell)
        hive->Free(lists->index);
    if (leaves.size() == 1)
        list = leaves[0].cell;
    if (leaves.size() > 1) {
        Leaf index{lists->index, {'r', 'i'}, {}, {}};
        for (const Leaf &leaf : leaves)
            index.keys.push_back(leaf.cell);
        list = WriteLeaf(hive, index);
        if (list == 0)
            return ERROR_CANTWRITE;
    }
    if (leaves.empty() && lists->index != kNoCell)
        hive->Free(lists->index);
    WriteLe32(hive->Change(node, kKeySubkeyList, 4), list);
    return ERROR_SUCCESS;
}

void AddToCount(HiveCells *hive, HiveNode node, size_t field, int32_t delta) {
    uint8_t *at = hive->Change(node, field, 4);
    WriteLe32(at, ReadLe32(at) + static_cast<uint32_t>(delta));
}

// The place among the leaves where a key of that sorting name belongs.
LONG FindPlace(const HiveCells &hive, const SubkeyLists &lists, const std::u16string &name,
               size_t *leaf, size_t *position) {
    *leaf = 0;
    *position = 0;
    for (size_t l = 0; l < lists.leaves.size(); l++) {
        const std::vector<HiveNode> &keys = lists.leaves[l].keys;
        for (size_t i = 0; i < keys.size(); i++) {
            std::u16string other;
            LONG rc = SortName(hive, keys[i], &other);
            if (rc != ERROR_SUCCESS)
                return rc;
            if (name < other)
                return ERROR_SUCCESS;
            *leaf = l;
            *position = i + 1;
        }
    }
    return ERROR_SUCCESS;
}

LONG InsertSubkey(HiveCells *hive, HiveNode parent, const uint8_t *nk, HiveNode child,
                  const std::u16string &name) {
    SubkeyLists lists;
    LONG rc = ReadLists(*hive, nk, &lists);
    std::u16string upper;
    if (rc == ERROR_SUCCESS)
        rc = SortName(*hive, child, &upper);
    size_t at = 0, position = 0;
    // Hashed leaves ("lh") came with version 1.5; older systems read "lf".
    char kind = ReadLe32(hive->Image() + kMinorVersionOffset) >= 5 ? 'h' : 'f';
    if (rc == ERROR_SUCCESS && lists.leaves.empty())
        lists.leaves.push_back(Leaf{kNoCell, {'l', kind}, {}, {}});
    else if (rc == ERROR_SUCCESS)
        rc = FindPlace(*hive, lists, upper, &at, &position);
    if (rc != ERROR_SUCCESS)
        return rc;
    Leaf &leaf = lists.leaves[at];
    leaf.keys.insert(leaf.keys.begin() + static_cast<ptrdiff_t>(position), child);
    if (leaf.kind[1] != 'i')
        leaf.hints.insert(leaf.hints.begin() + static_cast<ptrdiff_t>(position),
                          NameHint(leaf.kind, upper, name));
    return WriteLists(hive, parent, &lists);
}

// The reference the key held on its security cell goes; a cell no key
// uses any more leaves the hive's ring of them.
LONG ReleaseSecurity(HiveCells *hive, uint32_t security) {
    const uint8_t *sk = hive->Data(security, kSecurityHeader, "sk");
    if (sk == nullptr)
        return ERROR_REGISTRY_CORRUPT;
    uint32_t users = ReadLe32(sk + kSecurityUsers);
    WriteLe32(hive->Change(security, kSecurityUsers, 4), users - 1);
    uint32_t next = ReadLe32(sk + kSecurityNext), previous = ReadLe32(sk + kSecurityPrevious);
    if (users > 1 || next == security)
        return ERROR_SUCCESS;
    if (hive->Data(next, kSecurityHeader, "sk") == nullptr ||
        hive->Data(previous, kSecurityHeader, "sk") == nullptr)
        return ERROR_REGISTRY_CORRUPT;
    WriteLe32(hive->Change(previous, kSecurityNext, 4), next);
    WriteLe32(hive->Change(next, kSecurityPrevious, 4), previous);
    hive->Free(security);
    return ERROR_SUCCESS;
}

} // namespace

void Stamp(HiveCells *hive, HiveNode node, uint64_t filetime) {
    WriteLe64(hive->Change(node, kKeyTimestamp, 8), filetime);
}

HiveNode RootNode(const HiveCells &hive) {
    return ReadLe32(hive.Image() + kRootCellOffset);
}

LONG ChildNodes(const HiveCells &hive, HiveNode node, std::vector<HiveNode> *children) {
    const uint8_t *nk = KeyData(hive, node);
    SubkeyLists lists;
    LONG rc = nk == nullptr ? ERROR_REGISTRY_CORRUPT : ReadLists(hive, nk, &lists);
    children->clear();
    for (const Leaf &leaf : lists.leaves)
        children->insert(children->end(), leaf.keys.begin(), leaf.keys.end());
    return rc;
}

LONG NodeName(const HiveCells &hive, HiveNode node, std::string *name) {
    const uint8_t *nk = KeyData(hive, node);
    if (nk == nullptr || kKeyName + ReadLe16(nk + kKeyNameLength) > hive.Length(node))
        return ERROR_REGISTRY_CORRUPT;
    *name = HiveNameToUtf8(nk + kKeyName, ReadLe16(nk + kKeyNameLength),
                           ReadLe16(nk + kKeyFlags) & kCompressedKeyName);
    return ERROR_SUCCESS;
}

LONG NodeParent(const HiveCells &hive, HiveNode node, HiveNode *parent) {
    const uint8_t *nk = KeyData(hive, node);
    if (nk == nullptr || KeyData(hive, ReadLe32(nk + kKeyParent)) == nullptr)
        return ERROR_REGISTRY_CORRUPT;
    *parent = ReadLe32(nk + kKeyParent);
    return ERROR_SUCCESS;
}

LONG NodeTimestamp(const HiveCells &hive, HiveNode node, uint64_t *filetime) {
    const uint8_t *nk = KeyData(hive, node);
    if (nk == nullptr)
        return ERROR_REGISTRY_CORRUPT;
    *filetime = ReadLe32(nk + kKeyTimestamp) | uint64_t{ReadLe32(nk + kKeyTimestamp + 4)} << 32;
    return ERROR_SUCCESS;
}

LONG AddChildNode(HiveCells *hive, HiveNode parent, const std::string &name, uint64_t filetime,
                  HiveNode *child) {
    const uint8_t *pk = KeyData(*hive, parent);
    if (pk == nullptr)
        return ERROR_REGISTRY_CORRUPT;
    uint32_t security = ReadLe32(pk + kKeySecurity);
    if (hive->Data(security, kSecurityHeader, "sk") == nullptr)
        return ERROR_REGISTRY_CORRUPT;
    std::u16string wide = Utf8ToUtf16(name);
    bool compressed = false;
    std::vector<uint8_t> stored = StoredName(name, &compressed);
    uint32_t cell = 0;
    if (!hive->Allocate(kKeyName + static_cast<uint32_t>(stored.size()), &cell))
        return ERROR_CANTWRITE;
    uint8_t *nk = hive->Change(cell, 0, kKeyName + static_cast<uint32_t>(stored.size()));
    memcpy(nk, "nk", 2);
    WriteLe16(nk + kKeyFlags, compressed ? kCompressedKeyName : 0);
    WriteLe32(nk + kKeyParent, parent);
    for (size_t field : {kKeySubkeyList, kKeyVolatileList, kKeyValueList, kKeyClass})
        WriteLe32(nk + field, kNoCell);
    WriteLe32(nk + kKeySecurity, security);
    WriteLe16(nk + kKeyNameLength, static_cast<uint16_t>(stored.size()));
    memcpy(nk + kKeyName, stored.data(), stored.size());
    Stamp(hive, cell, filetime);
    LONG rc = InsertSubkey(hive, parent, KeyData(*hive, parent), cell, wide);
    if (rc != ERROR_SUCCESS)
        return rc;
    uint8_t *users = hive->Change(security, kSecurityUsers, 4);
    WriteLe32(users, ReadLe32(users) + 1);
    AddToCount(hive, parent, kKeySubkeyCount, 1);
    uint8_t *longest = hive->Change(parent, kKeyLongestSubkey, 2);
    WriteLe16(longest,
              std::max<uint16_t>(ReadLe16(longest), static_cast<uint16_t>(2 * wide.size())));
    Stamp(hive, parent, filetime);
    *child = cell;
    return ERROR_SUCCESS;
}

// Every cell the key holds, the key's own last: it has no subkeys left.
LONG FreeKey(HiveCells *hive, HiveNode node) {
    const uint8_t *nk = KeyData(*hive, node);
    if (nk == nullptr || ReadLe32(nk + kKeySubkeyCount) != 0)
        return ERROR_REGISTRY_CORRUPT;
    LONG rc = FreeValues(hive, node);
    if (rc == ERROR_SUCCESS)
        rc = ReleaseSecurity(hive, ReadLe32(nk + kKeySecurity));
    if (rc != ERROR_SUCCESS)
        return rc;
    for (size_t field : {kKeySubkeyList, kKeyClass})
        if (ReadLe32(nk + field) != kNoCell)
            hive->Free(ReadLe32(nk + field));
    hive->Free(node);
    return ERROR_SUCCESS;
}

LONG DeleteSubkeys(HiveCells *hive, HiveNode parent, const std::set<HiveNode> &nodes,
                   uint64_t filetime) {
    const uint8_t *pk = KeyData(*hive, parent);
    SubkeyLists lists;
    LONG rc = pk == nullptr ? ERROR_REGISTRY_CORRUPT : ReadLists(*hive, pk, &lists);
    size_t found = 0;
    for (Leaf &leaf : lists.leaves) {
        size_t kept = 0;
        for (size_t i = 0; i < leaf.keys.size(); i++) {
            if (nodes.count(leaf.keys[i]) != 0) {
                found++;
                continue;
            }
            leaf.keys[kept] = leaf.keys[i];
            if (!leaf.hints.empty())
                leaf.hints[kept] = leaf.hints[i];
            kept++;
        }
        leaf.keys.resize(kept);
        if (!leaf.hints.empty())
            leaf.hints.resize(kept);
    }
    if (rc == ERROR_SUCCESS && found != nodes.size())
        rc = ERROR_REGISTRY_CORRUPT;
    for (auto node = nodes.begin(); rc == ERROR_SUCCESS && node != nodes.end(); ++node)
        rc = FreeKey(hive, *node);
    if (rc == ERROR_SUCCESS)
        rc = WriteLists(hive, parent, &lists);
    if (rc != ERROR_SUCCESS)
        return rc;
    AddToCount(hive, parent, kKeySubkeyCount, -static_cast<int32_t>(nodes.size()));
    // A key left without subkeys forgets their longest name and class, as
    // the system's does; while some remain, the two are only ever raised.
    if (ReadLe32(KeyData(*hive, parent) + kKeySubkeyCount) == 0) {
        WriteLe16(hive->Change(parent, kKeyLongestSubkey, 2), 0);
        WriteLe32(hive->Change(parent, kKeyLongestClass, 4), 0);
    }
    Stamp(hive, parent, filetime);
    return ERROR_SUCCESS;
}

LONG SetNodeClass(HiveCells *hive, HiveNode node, const std::vector<uint8_t> &text) {
    const uint8_t *nk = KeyData(*hive, node);
    uint32_t size = static_cast<uint32_t>(text.size()), cell = 0;
    if (size == 0 || size > 0xFFFF)
        return ERROR_INVALID_PARAMETER;
    if (nk == nullptr || ReadLe32(nk + kKeyClass) != kNoCell)
        return ERROR_REGISTRY_CORRUPT;
    HiveNode parent = ReadLe32(nk + kKeyParent);
    if (KeyData(*hive, parent) == nullptr)
        return ERROR_REGISTRY_CORRUPT;
    if (!hive->Allocate(size, &cell))
        return ERROR_CANTWRITE;
    memcpy(hive->Change(cell, 0, size), text.data(), size);
    WriteLe32(hive->Change(node, kKeyClass, 4), cell);
    WriteLe16(hive->Change(node, kKeyClassLength, 2), static_cast<uint16_t>(size));
    uint8_t *longest = hive->Change(parent, kKeyLongestClass, 4);
    WriteLe32(longest, std::max(ReadLe32(longest), size));
    return ERROR_SUCCESS;
}
