// Key paths: "\"-separated names below HKEY_LOCAL_MACHINE or an open key,
// matched ignoring ASCII case, with CurrentControlSet standing for the
// control set that Select\Current names.
#ifndef DRVINST_POSIX_REGISTRY_PATH_H
#define DRVINST_POSIX_REGISTRY_PATH_H

#include "platform/posix/hive/hive.h"
#include "platform/posix/winapi.h"

struct KeyWalk {
    HiveSession *session = nullptr;
    HiveNode node = 0;
    bool created = false; // the last component did not exist and was created
    bool aliased = false; // the last component was CurrentControlSet
};

enum class WalkMode { Open, Create };

// Follows subKey from base.  In Create mode missing keys are created on the
// way, except CurrentControlSet, which is never a real key.  A path that
// leaves the SYSTEM hive yields ERROR_FILE_NOT_FOUND (ERROR_ACCESS_DENIED
// for Create): no other part of the machine's registry is offline here.
LONG WalkKeyPath(HKEY base, const char *subKey, WalkMode mode, KeyWalk *walk);

#endif
