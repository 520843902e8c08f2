// Reading key nodes through hivex, with hivex's error conventions turned
// into Win32 codes.  Names are UTF-8 here, as hivex has them.
#ifndef DRVINST_POSIX_HIVE_NODE_H
#define DRVINST_POSIX_HIVE_NODE_H

#include "platform/posix/winapi.h"

#include <hivex.h>

#include <string>
#include <vector>

// A hive may hold any 32-bit value type (real SYSTEM hives hold some like
// 0xFFFF0012), while hivex hands types over as its enum.  They are carried
// as DWORD and passed to and from hivex through memory, never through the
// enum, so that an unknown type is kept rather than made undefined.
static_assert(sizeof(hive_type) == sizeof(DWORD), "hivex value types are 32 bits");

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

// The status for a hivex call that failed with errno set.
LONG StatusOfHivexError();

// Children in hivex's order, which is the order of the hive's subkey list.
// Callers go through the session's SubkeyCache rather than here.
LONG ChildNodes(hive_h *hive, hive_node_h node, std::vector<hive_node_h> *children);
LONG NodeName(hive_h *hive, hive_node_h node, std::string *name);

// All values of the node, in stored order, with their raw data.
LONG ReadValues(hive_h *hive, hive_node_h node, std::vector<StoredValue> *values);

// A REG_DWORD value found by name ignoring case: ERROR_FILE_NOT_FOUND when
// absent, ERROR_BADDB when it has another type or length.
LONG ReadDword(hive_h *hive, hive_node_h node, const std::string &name, uint32_t *value);

// Counts and longest lengths, computed from the subkeys and values
// themselves: the maxima the hive stores are not lowered when a subkey is
// deleted.
LONG CollectKeyStats(hive_h *hive, hive_node_h node, const std::vector<std::string> &subkeys,
                     KeyStats *stats);

#endif
