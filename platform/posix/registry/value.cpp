#include "value.h"

#include "platform/posix/hive/hive.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr DWORD kRegMultiSz = 7;
constexpr size_t kMaxValueNameLength = 16383;
// Longer data must be split into the "big data" layout, which hivex does
// not write; storing it whole would give a hive the system rejects.
constexpr size_t kMaxSingleCellData = 16344;

// Any 32-bit type is stored, as the system stores it; only the text types
// are converted, and the other types' bytes kept as given.
LONG EncodeData(DWORD type, const BYTE *data, DWORD size, std::string *out) {
    if (data == nullptr && size != 0)
        return ERROR_INVALID_PARAMETER;
    if (type == REG_SZ || type == REG_EXPAND_SZ || type == kRegMultiSz) {
        std::vector<uint8_t> wide = NarrowToUtf16le(data, size);
        out->assign(wide.begin(), wide.end());
    } else if (type == REG_DWORD) {
        if (size != 4)
            return ERROR_INVALID_PARAMETER;
        uint32_t v;
        memcpy(&v, data, 4);
        const char bytes[4] = {static_cast<char>(v), static_cast<char>(v >> 8),
                               static_cast<char>(v >> 16), static_cast<char>(v >> 24)};
        out->assign(bytes, 4);
    } else if (size != 0) {
        out->assign(reinterpret_cast<const char *>(data), size);
    }
    return ERROR_SUCCESS;
}

// A value of the same name keeps its place and its spelling, as it does
// when the system overwrites one.
void MergeValue(std::vector<StoredValue> *values, StoredValue value) {
    for (StoredValue &old : *values) {
        if (SameRegistryName(old.name, value.name)) {
            old.type = value.type;
            old.data = std::move(value.data);
            return;
        }
    }
    values->push_back(std::move(value));
}

bool FitsSingleCells(const std::vector<StoredValue> &values) {
    for (const StoredValue &v : values) {
        if (v.data.size() > kMaxSingleCellData)
            return false;
    }
    return true;
}

// hivex replaces a key's whole value list at once, so every value is
// written back, the untouched ones with their data as read.
LONG WriteValues(HiveSession *session, hive_node_h node, std::vector<StoredValue> &values) {
    std::vector<hive_set_value> list;
    for (StoredValue &v : values) {
        hive_set_value entry{&v.name[0], hive_t_REG_NONE, v.data.size(), &v.data[0]};
        memcpy(&entry.t, &v.type, sizeof entry.t);
        list.push_back(entry);
    }
    LONG rc = HiveBeginWrite(session);
    if (rc != ERROR_SUCCESS)
        return rc;
    errno = 0;
    int result = hivex_node_set_values(session->hive, node, list.size(), list.data(), 0);
    HiveTouch(session, node);
    return HiveEndWrite(session, result == 0);
}

} // namespace

LONG StoreValue(HiveSession *session, hive_node_h node, const char *name, DWORD type,
                const BYTE *data, DWORD size) {
    if (name != nullptr && strlen(name) > kMaxValueNameLength)
        return ERROR_INVALID_PARAMETER;
    StoredValue value{NarrowToUtf8(name), type, std::string()};
    LONG rc = EncodeData(type, data, size, &value.data);
    std::vector<StoredValue> values;
    if (rc == ERROR_SUCCESS)
        rc = ReadValues(session->hive, node, &values);
    if (rc != ERROR_SUCCESS)
        return rc;
    MergeValue(&values, std::move(value));
    if (!FitsSingleCells(values))
        return ERROR_CANTWRITE;
    return WriteValues(session, node, values);
}
