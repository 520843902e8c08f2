// Open key handles.  A handle names a key node of the session's hive;
// handles are checked against the set of live ones, so a stale or foreign
// handle yields ERROR_INVALID_HANDLE instead of a crash.
#ifndef DRVINST_POSIX_REGISTRY_KEY_H
#define DRVINST_POSIX_REGISTRY_KEY_H

#include "platform/posix/hive/hive.h"
#include "platform/posix/winapi.h"

#ifndef ERROR_KEY_DELETED
#define ERROR_KEY_DELETED 1018L
#endif

struct PosixKey {
    unsigned long serial; // the session the handle was opened in
    HiveNode node;
    // The key was deleted while this handle was open.  Its cells may since
    // have been reused, so the node must not be touched again.
    bool deleted;
};

LONG NewKeyHandle(const HiveSession *session, HiveNode node, HKEY *result);

// The session and node an open key handle stands for.
// HKEY_LOCAL_MACHINE is not backed by a node and is refused here.
LONG KeyNode(HKEY key, HiveSession **session, HiveNode *node);

LONG CloseKeyHandle(HKEY key);

void MarkKeysDeleted(HiveNode node);

#endif
