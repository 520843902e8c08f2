// The registry calls of the offline backend.  Access masks are accepted
// and not enforced: the installer creates and deletes keys below handles
// it opened for reading, which the system allows for an administrator, and
// offline the file's own permissions are what guard the hive.
#include "key.h"
#include "path.h"
#include "value.h"

#include "platform/posix/hive/hive.h"

#include <cerrno>
#include <cstring>

// Left incomplete by winapi.h; its layout is the system's.
struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

namespace {

void Put(LPDWORD out, DWORD value) {
    if (out != nullptr)
        *out = value;
}

// No key class is reported: the installer stores one but never reads it
// back, so reading it offline is not built.
void PutEmptyClass(LPSTR keyClass, LPDWORD classSize, LPDWORD maxClassLen) {
    if (keyClass != nullptr && classSize != nullptr && *classSize > 0)
        keyClass[0] = '\0';
    Put(classSize, 0);
    Put(maxClassLen, 0);
}

void PutTimestamp(HiveSession *session, HiveNode node, PFILETIME lastWriteTime) {
    if (lastWriteTime == nullptr)
        return;
    uint64_t value = 0;
    NodeTimestamp(*session->hive, node, &value);
    lastWriteTime->dwLowDateTime = static_cast<DWORD>(value);
    lastWriteTime->dwHighDateTime = static_cast<DWORD>(value >> 32);
}

LONG DeleteLeafKey(const KeyWalk &walk) {
    HiveSession *session = walk.session;
    const HiveCells *hive = session->hive;
    if (walk.node == RootNode(*hive) || walk.aliased)
        return ERROR_ACCESS_DENIED;
    const SubkeyList *subkeys = nullptr;
    LONG rc = session->subkeys.List(hive, walk.node, &subkeys);
    if (rc == ERROR_SUCCESS && !subkeys->nodes.empty())
        rc = ERROR_ACCESS_DENIED;
    HiveNode parent = 0;
    if (rc == ERROR_SUCCESS)
        rc = NodeParent(*hive, walk.node, &parent);
    if (rc == ERROR_SUCCESS)
        rc = HiveDeleteLater(session, walk.node, parent);
    if (rc != ERROR_SUCCESS)
        return rc;
    session->subkeys.Remove(parent, walk.node);
    MarkKeysDeleted(walk.node);
    return ERROR_SUCCESS;
}

} // namespace

LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD /*options*/, REGSAM /*access*/, PHKEY result) {
    if (result == nullptr)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    if (key == HKEY_LOCAL_MACHINE && (subKey == nullptr || *subKey == '\0')) {
        *result = HKEY_LOCAL_MACHINE;
        return ERROR_SUCCESS;
    }
    KeyWalk walk;
    LONG rc = WalkKeyPath(key, subKey, WalkMode::Open, &walk);
    return rc == ERROR_SUCCESS ? NewKeyHandle(walk.session, walk.node, result) : rc;
}

// A key created here gets the class, as the system stores it for a key it
// creates (never for one that exists, nor for the keys created on the way
// to it), so that both builds leave the same keys.
LONG RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD /*reserved*/, LPSTR keyClass, DWORD /*options*/,
                     REGSAM /*access*/, LPSECURITY_ATTRIBUTES /*security*/, PHKEY result,
                     LPDWORD disposition) {
    if (result == nullptr || subKey == nullptr)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    KeyWalk walk;
    LONG rc = WalkKeyPath(key, subKey, WalkMode::Create, &walk);
    if (rc == ERROR_SUCCESS && walk.created && keyClass != nullptr && *keyClass != '\0') {
        std::vector<uint8_t> text =
            NarrowToUtf16le(reinterpret_cast<const uint8_t *>(keyClass), strlen(keyClass));
        rc = HiveBeginWrite(walk.session);
        if (rc == ERROR_SUCCESS)
            rc = HiveEndWrite(walk.session, SetNodeClass(walk.session->hive, walk.node, text));
    }
    if (rc == ERROR_SUCCESS)
        rc = NewKeyHandle(walk.session, walk.node, result);
    if (rc == ERROR_SUCCESS)
        Put(disposition, walk.created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY);
    return rc;
}

LONG RegSetValueExA(HKEY key, LPCSTR valueName, DWORD /*reserved*/, DWORD type, const BYTE *data,
                    DWORD size) {
    HiveSession *session = nullptr;
    HiveNode node = 0;
    LONG rc = KeyNode(key, &session, &node);
    return rc == ERROR_SUCCESS ? StoreValue(session, node, valueName, type, data, size) : rc;
}

// A key that still has subkeys is refused, as the system refuses it.
LONG RegDeleteKeyA(HKEY key, LPCSTR subKey) {
    if (subKey == nullptr)
        return ERROR_INVALID_PARAMETER;
    KeyWalk walk;
    LONG rc = WalkKeyPath(key, subKey, WalkMode::Open, &walk);
    return rc == ERROR_SUCCESS ? DeleteLeafKey(walk) : rc;
}

LONG RegQueryInfoKeyA(HKEY key, LPSTR keyClass, LPDWORD classSize, LPDWORD /*reserved*/,
                      LPDWORD subKeys, LPDWORD maxSubKeyLen, LPDWORD maxClassLen, LPDWORD values,
                      LPDWORD maxValueNameLen, LPDWORD maxValueLen, LPDWORD securityDescriptor,
                      PFILETIME lastWriteTime) {
    HiveSession *session = nullptr;
    HiveNode node = 0;
    const SubkeyList *subkeys = nullptr;
    KeyStats stats;
    LONG rc = KeyNode(key, &session, &node);
    if (rc == ERROR_SUCCESS)
        rc = session->subkeys.List(session->hive, node, &subkeys);
    if (rc == ERROR_SUCCESS)
        rc = CollectKeyStats(*session->hive, node, subkeys->names, &stats);
    if (rc != ERROR_SUCCESS)
        return rc;
    PutEmptyClass(keyClass, classSize, maxClassLen);
    Put(subKeys, stats.subKeys);
    Put(maxSubKeyLen, stats.maxSubKeyLen);
    Put(values, stats.values);
    Put(maxValueNameLen, stats.maxValueNameLen);
    Put(maxValueLen, stats.maxValueLen);
    Put(securityDescriptor, 0); // descriptors are not read offline
    PutTimestamp(session, node, lastWriteTime);
    return ERROR_SUCCESS;
}

LONG RegEnumKeyA(HKEY key, DWORD index, LPSTR name, DWORD nameSize) {
    HiveSession *session = nullptr;
    HiveNode node = 0;
    const SubkeyList *subkeys = nullptr;
    LONG rc = KeyNode(key, &session, &node);
    if (rc == ERROR_SUCCESS)
        rc = session->subkeys.List(session->hive, node, &subkeys);
    if (rc == ERROR_SUCCESS && index >= subkeys->names.size())
        rc = ERROR_NO_MORE_ITEMS;
    if (rc != ERROR_SUCCESS)
        return rc;
    std::string narrow = Utf8ToNarrow(subkeys->names[index]);
    if (name == nullptr || narrow.size() >= nameSize)
        return ERROR_MORE_DATA;
    memcpy(name, narrow.c_str(), narrow.size() + 1);
    return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY key) {
    return CloseKeyHandle(key);
}
