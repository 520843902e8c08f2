#include "key.h"

#include <new>
#include <unordered_set>

namespace {

// Never destroyed: handles of a closed session stay listed (and refused)
// until they are closed, even while the process is ending.
std::unordered_set<PosixKey *> &LiveKeys() {
    static auto *live = new std::unordered_set<PosixKey *>;
    return *live;
}

} // namespace

LONG NewKeyHandle(const HiveSession *session, HiveNode node, HKEY *result) {
    PosixKey *key = new (std::nothrow) PosixKey{session->serial, node, false};
    if (key == nullptr)
        return ERROR_NOT_ENOUGH_MEMORY;
    LiveKeys().insert(key);
    *result = key;
    return ERROR_SUCCESS;
}

LONG KeyNode(HKEY key, HiveSession **session, HiveNode *node) {
    *session = HiveCurrent();
    if (*session == nullptr || LiveKeys().count(key) == 0)
        return ERROR_INVALID_HANDLE;
    // A handle of a closed session names a node of a hive no longer loaded.
    if (key->serial != (*session)->serial)
        return ERROR_INVALID_HANDLE;
    if (key->deleted)
        return ERROR_KEY_DELETED;
    *node = key->node;
    return ERROR_SUCCESS;
}

LONG CloseKeyHandle(HKEY key) {
    if (key == HKEY_LOCAL_MACHINE)
        return ERROR_SUCCESS;
    if (LiveKeys().erase(key) == 0)
        return ERROR_INVALID_HANDLE;
    HiveSession *session = HiveCurrent();
    bool current = session != nullptr && key->serial == session->serial;
    delete key;
    return current ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

void MarkKeysDeleted(HiveNode node) {
    for (PosixKey *key : LiveKeys()) {
        if (key->node == node)
            key->deleted = true;
    }
}
