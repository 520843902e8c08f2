// Reading one value back, with the Windows contract of the narrow call:
// string data comes back in the narrow code page, its terminator included
// when the value holds one.
#include "platform/platform.h"

#include "platform/posix/hive/hive.h"
#include "platform/posix/registry/key.h"

#include <cstring>
#include <string>
#include <vector>

// UTF-16LE string data as narrow text, through the hive's own reading of
// UTF-16; what the code page cannot show becomes '?'.
static std::string NarrowData(const std::string &wide) {
    return Utf8ToNarrow(HiveNameToUtf8(reinterpret_cast<const uint8_t *>(wide.data()),
                                       wide.size() & ~size_t(1), false));
}

LONG RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD /*reserved*/, LPDWORD type, BYTE *data,
                      LPDWORD size) {
    if (data != nullptr && size == nullptr)
        return ERROR_INVALID_PARAMETER;
    HiveSession *session = nullptr;
    HiveNode node = 0;
    std::vector<StoredValue> values;
    LONG rc = KeyNode(key, &session, &node);
    if (rc == ERROR_SUCCESS)
        rc = ReadValues(*session->hive, node, &values);
    if (rc != ERROR_SUCCESS)
        return rc;
    std::string name = NarrowToUtf8(valueName == nullptr ? "" : valueName);
    for (const StoredValue &value : values) {
        if (!SameRegistryName(value.name, name))
            continue;
        bool text = value.type == REG_SZ || value.type == REG_EXPAND_SZ || value.type == 7;
        std::string bytes = text ? NarrowData(value.data) : value.data;
        if (type != nullptr)
            *type = value.type;
        DWORD room = size != nullptr ? *size : 0;
        if (size != nullptr)
            *size = static_cast<DWORD>(bytes.size());
        if (data == nullptr)
            return ERROR_SUCCESS;
        if (room < bytes.size())
            return ERROR_MORE_DATA;
        memcpy(data, bytes.data(), bytes.size());
        return ERROR_SUCCESS;
    }
    return ERROR_FILE_NOT_FOUND;
}
