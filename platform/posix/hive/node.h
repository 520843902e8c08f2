// Keys and values of the hive, read and changed in its cells.  Names are
// UTF-8 here; the hive keeps them in one byte per character when they fit
// and in UTF-16 otherwise, as the system does.  A link that does not lead
// to the record it should is ERROR_REGISTRY_CORRUPT, never a crash.
#ifndef DRVINST_POSIX_HIVE_NODE_H
#define DRVINST_POSIX_HIVE_NODE_H

#include "cells.h"

#include "platform/posix/winapi.h"

#include <set>
#include <string>
#include <vector>

// Any 32-bit value type is kept as it is: real SYSTEM hives hold some like
// 0xFFFF0012.
struct StoredValue {
    std::string name;
    DWORD type;
    std::string data;
};

struct KeyStats {
    DWORD subKeys = 0;
    DWORD maxSubKeyLen = 0; // UTF-16 units, as the system counts them
    DWORD values = 0;
    DWORD maxValueNameLen = 0;
    DWORD maxValueLen = 0; // bytes
};

HiveNode RootNode(const HiveCells &hive);

// Children in the order of the hive's subkey list.  Callers go through the
// session's SubkeyCache rather than here.
LONG ChildNodes(const HiveCells &hive, HiveNode node, std::vector<HiveNode> *children);
LONG NodeName(const HiveCells &hive, HiveNode node, std::string *name);
LONG NodeParent(const HiveCells &hive, HiveNode node, HiveNode *parent);
LONG NodeTimestamp(const HiveCells &hive, HiveNode node, uint64_t *filetime);

// All values of the node, in stored order, with their raw data.
LONG ReadValues(const HiveCells &hive, HiveNode node, std::vector<StoredValue> *values);

// A REG_DWORD value found by name ignoring case: ERROR_FILE_NOT_FOUND when
// absent, ERROR_BADDB when it has another type or length.
LONG ReadDword(const HiveCells &hive, HiveNode node, const std::string &name, uint32_t *value);

// Counts and longest lengths, computed from the subkeys and values
// themselves: the maxima the hive stores are not lowered when a subkey is
// deleted.
LONG CollectKeyStats(const HiveCells &hive, HiveNode node, const std::vector<std::string> &subkeys,
                     KeyStats *stats);

// A new key below parent, in its place in the parent's sorted list, with
// the parent's security; both carry filetime as their last-write time.
LONG AddChildNode(HiveCells *hive, HiveNode parent, const std::string &name, uint64_t filetime,
                  HiveNode *child);

// Removes keys below parent, each without subkeys of its own, with their
// values, giving every cell they held back.  Removing many subkeys of one
// key at once rewrites its list once: one at a time, emptying a key of N
// subkeys would rewrite it N times.
LONG DeleteSubkeys(HiveCells *hive, HiveNode parent, const std::set<HiveNode> &nodes,
                   uint64_t filetime);

// Gives a new key, which has no class yet, the class text (UTF-16LE, no
// terminator), and raises its parent's longest class length to it, as
// creating a key with a class does.
LONG SetNodeClass(HiveCells *hive, HiveNode node, const std::vector<uint8_t> &text);

// Sets one value: one of the same name (ignoring case) keeps its place and
// spelling and has its type and data replaced, else the value is added at
// the end.  Data must fit one cell (kMaxSingleCellData).
LONG SetNodeValue(HiveCells *hive, HiveNode node, const StoredValue &value, uint64_t filetime);
constexpr size_t kMaxSingleCellData = 16344;

#endif
