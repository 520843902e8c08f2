#include "node.h"

#include "text.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

struct FreeDeleter {
    void operator()(void *p) const {
        free(p);
    }
};
template <class T> using Owned = std::unique_ptr<T, FreeDeleter>;

// hivex lists are arrays ended by a zero handle.
template <class T> std::vector<T> TakeList(T *list) {
    std::vector<T> out;
    for (T *p = list; *p != 0; p++)
        out.push_back(*p);
    free(list);
    return out;
}

LONG ValueName(hive_h *hive, hive_value_h value, std::string *name) {
    errno = 0;
    Owned<char> key(hivex_value_key(hive, value));
    if (!key)
        return StatusOfHivexError();
    *name = key.get();
    return ERROR_SUCCESS;
}

LONG ValueHandles(hive_h *hive, hive_node_h node, std::vector<hive_value_h> *values) {
    errno = 0;
    hive_value_h *list = hivex_node_values(hive, node);
    if (list == nullptr)
        return StatusOfHivexError();
    *values = TakeList(list);
    return ERROR_SUCCESS;
}

LONG ReadValue(hive_h *hive, hive_value_h value, StoredValue *out) {
    LONG rc = ValueName(hive, value, &out->name);
    if (rc != ERROR_SUCCESS)
        return rc;
    size_t length = 0;
    errno = 0;
    hive_type type;
    Owned<char> data(hivex_value_value(hive, value, &type, &length));
    memcpy(&out->type, &type, sizeof out->type);
    if (!data && !(errno == 0 && length == 0))
        return StatusOfHivexError();
    out->data.assign(data ? data.get() : "", length);
    return ERROR_SUCCESS;
}

LONG AddValueStats(hive_h *hive, hive_node_h node, KeyStats *stats) {
    std::vector<hive_value_h> values;
    LONG rc = ValueHandles(hive, node, &values);
    for (size_t i = 0; rc == ERROR_SUCCESS && i < values.size(); i++) {
        std::string name;
        hive_type type;
        size_t length = 0;
        rc = ValueName(hive, values[i], &name);
        if (rc == ERROR_SUCCESS && hivex_value_type(hive, values[i], &type, &length) != 0)
            rc = StatusOfHivexError();
        stats->maxValueNameLen = std::max<DWORD>(stats->maxValueNameLen, Utf16Length(name));
        stats->maxValueLen = std::max<DWORD>(stats->maxValueLen, length);
    }
    stats->values = static_cast<DWORD>(values.size());
    return rc;
}

} // namespace

LONG StatusOfHivexError() {
    return errno == ENOMEM ? ERROR_NOT_ENOUGH_MEMORY : ERROR_REGISTRY_CORRUPT;
}

LONG ChildNodes(hive_h *hive, hive_node_h node, std::vector<hive_node_h> *children) {
    errno = 0;
    hive_node_h *list = hivex_node_children(hive, node);
    if (list == nullptr)
        return StatusOfHivexError();
    *children = TakeList(list);
    return ERROR_SUCCESS;
}

LONG NodeName(hive_h *hive, hive_node_h node, std::string *name) {
    errno = 0;
    Owned<char> text(hivex_node_name(hive, node));
    if (!text)
        return StatusOfHivexError();
    *name = text.get();
    return ERROR_SUCCESS;
}

LONG ReadValues(hive_h *hive, hive_node_h node, std::vector<StoredValue> *values) {
    std::vector<hive_value_h> handles;
    LONG rc = ValueHandles(hive, node, &handles);
    values->assign(handles.size(), StoredValue());
    for (size_t i = 0; rc == ERROR_SUCCESS && i < handles.size(); i++)
        rc = ReadValue(hive, handles[i], &(*values)[i]);
    return rc;
}

LONG ReadDword(hive_h *hive, hive_node_h node, const std::string &name, uint32_t *value) {
    std::vector<StoredValue> values;
    LONG rc = ReadValues(hive, node, &values);
    if (rc != ERROR_SUCCESS)
        return rc;
    for (const StoredValue &v : values) {
        if (!SameRegistryName(v.name, name))
            continue;
        if (v.type != REG_DWORD || v.data.size() != 4)
            return ERROR_BADDB;
        const auto *bytes = reinterpret_cast<const unsigned char *>(v.data.data());
        *value = bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (uint32_t{bytes[3]} << 24);
        return ERROR_SUCCESS;
    }
    return ERROR_FILE_NOT_FOUND;
}

LONG CollectKeyStats(hive_h *hive, hive_node_h node, const std::vector<std::string> &subkeys,
                     KeyStats *stats) {
    for (const std::string &name : subkeys)
        stats->maxSubKeyLen = std::max<DWORD>(stats->maxSubKeyLen, Utf16Length(name));
    stats->subKeys = static_cast<DWORD>(subkeys.size());
    return AddValueStats(hive, node, stats);
}
