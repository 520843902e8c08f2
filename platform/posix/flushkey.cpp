#include "platform/platform.h"

#include "platform/posix/hive/hive.h"
#include "platform/posix/registry/key.h"

// The system writes a key's hive when asked; offline the one hive holds
// every change of the run, and all of them are written.
LONG RegFlushKey(HKEY key) {
    HiveSession *session = nullptr;
    HiveNode node = 0;
    LONG rc = KeyNode(key, &session, &node);
    return rc == ERROR_SUCCESS ? HiveWriteNow() : rc;
}
