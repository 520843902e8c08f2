// The subkeys of the keys a run looks into, read from the hive once per key
// and then kept in step with the run's own changes.  Finding a subkey in
// the hive decodes every sibling's name, so without this a walk cost a
// full pass over the parent, and emptying a key of N subkeys (one enumeration
// and one lookup per subkey) cost N passes: quadratic in N.
#ifndef DRVINST_POSIX_HIVE_SUBKEYS_H
#define DRVINST_POSIX_HIVE_SUBKEYS_H

#include "platform/posix/winapi.h"

#include "cells.h"

#include <string>
#include <unordered_map>
#include <vector>

struct SubkeyList {
    std::vector<HiveNode> nodes;    // the hive's order
    std::vector<std::string> names; // UTF-8
};

class SubkeyCache {
  public:
    // The subkeys of node, in the hive's order.  The list stays valid until
    // the next call that changes the cache.
    LONG List(const HiveCells *hive, HiveNode node, const SubkeyList **list);

    // The subkey whose name matches ignoring ASCII case, the first one in
    // the hive's order should a damaged hive hold two; ERROR_FILE_NOT_FOUND
    // when there is none.
    LONG Find(const HiveCells *hive, HiveNode parent, const std::string &name, HiveNode *child);

    // A subkey was added below node: its list is read again when needed.
    void Forget(HiveNode node);

    // The subkey child of parent is gone, and so is whatever was known of
    // its own subkeys.
    void Remove(HiveNode parent, HiveNode child);

    void Clear();

  private:
    struct Entry {
        SubkeyList list;
        std::unordered_map<HiveNode, size_t> position;
        std::unordered_map<std::string, size_t> byName; // folded name
        size_t gone = 0;         // removed subkeys still holding a place (node 0)
        bool duplicates = false; // two subkeys share a folded name
    };
    static void Index(Entry *entry);
    LONG Load(const HiveCells *hive, HiveNode node, Entry **entry);
    void Compact(Entry *entry);

    std::unordered_map<HiveNode, Entry> entries_;
};

#endif
