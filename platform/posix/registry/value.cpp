#include "value.h"

#include "platform/posix/hive/hive.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr DWORD kRegMultiSz = 7;
constexpr size_t kMaxValueNameLength = 16383;

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

} // namespace

LONG StoreValue(HiveSession *session, HiveNode node, const char *name, DWORD type, const BYTE *data,
                DWORD size) {
    if (name != nullptr && strlen(name) > kMaxValueNameLength)
        return ERROR_INVALID_PARAMETER;
    StoredValue value{NarrowToUtf8(name), type, std::string()};
    LONG rc = EncodeData(type, data, size, &value.data);
    if (rc == ERROR_SUCCESS)
        rc = HiveBeginWrite(session);
    if (rc != ERROR_SUCCESS)
        return rc;
    // Longer data must be split into segments, which this backend does not
    // write; storing it whole would give a hive the system rejects.
    if (value.data.size() > kMaxSingleCellData)
        return ERROR_CANTWRITE;
    return HiveEndWrite(session, SetNodeValue(session->hive, node, value, session->now));
}
