#include "path.h"

#include "key.h"
#include "select.h"

#include "platform/posix/hive/hive.h"

#include <cerrno>
#include <string>
#include <vector>

namespace {

constexpr size_t kMaxKeyNameLength = 255;

// Splits at "\".  One trailing separator is tolerated, as the system does;
// any other empty name is an error.
LONG SplitPath(const char *subKey, std::vector<std::string> *parts) {
    std::string path = subKey == nullptr ? "" : subKey;
    if (!path.empty() && path.back() == '\\')
        path.pop_back();
    for (size_t start = 0; !path.empty();) {
        size_t end = path.find('\\', start);
        std::string part =
            path.substr(start, (end == std::string::npos ? path.size() : end) - start);
        if (part.empty() || part.size() > kMaxKeyNameLength)
            return ERROR_INVALID_PARAMETER;
        parts->push_back(NarrowToUtf8(part.data(), part.size()));
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return ERROR_SUCCESS;
}

// Positions the walk at its base and says which component comes next.
LONG StartWalk(HKEY base, const std::vector<std::string> &parts, WalkMode mode, KeyWalk *walk,
               size_t *next) {
    *next = 0;
    if (base != HKEY_LOCAL_MACHINE)
        return KeyNode(base, &walk->session, &walk->node);
    if (parts.empty() || !SameRegistryName(parts[0], "SYSTEM"))
        return mode == WalkMode::Create ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
    LONG rc = HiveAcquire(&walk->session);
    if (rc == ERROR_SUCCESS)
        walk->node = RootNode(*walk->session->hive);
    *next = 1;
    return rc;
}

LONG CreateChild(KeyWalk *walk, const std::string &name) {
    HiveSession *session = walk->session;
    LONG rc = HiveBeginWrite(session);
    if (rc != ERROR_SUCCESS)
        return rc;
    HiveNode child = 0;
    rc = HiveEndWrite(session, AddChildNode(session->hive, walk->node, name, session->now, &child));
    session->subkeys.Forget(walk->node);
    if (rc == ERROR_SUCCESS) {
        walk->node = child;
        walk->created = true;
    }
    return rc;
}

LONG Step(KeyWalk *walk, const std::string &name, WalkMode mode) {
    const HiveCells *hive = walk->session->hive;
    walk->created = false;
    walk->aliased = walk->node == RootNode(*hive) && SameRegistryName(name, "CurrentControlSet");
    if (walk->aliased)
        return CurrentControlSet(walk->session, &walk->node);
    HiveNode child = 0;
    LONG rc = walk->session->subkeys.Find(hive, walk->node, name, &child);
    if (rc == ERROR_FILE_NOT_FOUND && mode == WalkMode::Create)
        return CreateChild(walk, name);
    if (rc == ERROR_SUCCESS)
        walk->node = child;
    return rc;
}

} // namespace

LONG WalkKeyPath(HKEY base, const char *subKey, WalkMode mode, KeyWalk *walk) {
    std::vector<std::string> parts;
    size_t next = 0;
    LONG rc = SplitPath(subKey, &parts);
    if (rc == ERROR_SUCCESS)
        rc = StartWalk(base, parts, mode, walk, &next);
    for (; rc == ERROR_SUCCESS && next < parts.size(); next++)
        rc = Step(walk, parts[next], mode);
    return rc;
}
