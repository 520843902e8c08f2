// Values of a key: the key's value list names "vk" records, each holding
// its data inline (up to 4 bytes), in a cell of its own, or from version
// 1.4 in segments behind a "db" cell when larger than one cell may be.
#include "file.h"
#include "keycell.h"
#include "node.h"
#include "text.h"

#include <algorithm>
#include <cstring>

namespace {

struct ValueRef {
    uint32_t cell;
    const uint8_t *vk;
};

LONG ValueCells(const HiveCells &hive, HiveNode node, std::vector<ValueRef> *values) {
    const uint8_t *nk = hive.Data(node, kKeyName, "nk");
    if (nk == nullptr)
        return ERROR_REGISTRY_CORRUPT;
    uint32_t count = ReadLe32(nk + kKeyValueCount), list = ReadLe32(nk + kKeyValueList);
    if (count == 0)
        return ERROR_SUCCESS;
    const uint8_t *cells = hive.Data(list, 4 * count);
    if (cells == nullptr)
        return ERROR_REGISTRY_CORRUPT;
    for (uint32_t i = 0; i < count; i++) {
        uint32_t cell = ReadLe32(cells + 4 * i);
        const uint8_t *vk = hive.Data(cell, kValueHeader, "vk");
        if (vk == nullptr || kValueHeader + ReadLe16(vk + kValueNameLength) > hive.Length(cell))
            return ERROR_REGISTRY_CORRUPT;
        values->push_back({cell, vk});
    }
    return ERROR_SUCCESS;
}

std::string ValueName(const ValueRef &value) {
    return HiveNameToUtf8(value.vk + kValueHeader, ReadLe16(value.vk + kValueNameLength),
                          ReadLe16(value.vk + kValueFlags) & kCompressedValueName);
}

bool Segmented(const HiveCells &hive, uint32_t size, uint32_t data) {
    return size > kLargestPlainData && ReadLe32(hive.Image() + kMinorVersionOffset) >= 4 &&
           hive.Data(data, 8, "db") != nullptr;
}

LONG ReadData(const HiveCells &hive, const ValueRef &value, std::string *out) {
    uint32_t size = ReadLe32(value.vk + kValueSize), data = ReadLe32(value.vk + kValueData);
    if (size & kInlineData) {
        out->assign(reinterpret_cast<const char *>(value.vk + kValueData),
                    std::min<uint32_t>(size & ~kInlineData, 4));
        return ERROR_SUCCESS;
    }
    if (size == 0)
        return ERROR_SUCCESS;
    if (!Segmented(hive, size, data)) {
        const uint8_t *bytes = hive.Data(data, size);
        if (bytes == nullptr)
            return ERROR_REGISTRY_CORRUPT;
        out->assign(reinterpret_cast<const char *>(bytes), size);
        return ERROR_SUCCESS;
    }
    const uint8_t *db = hive.Data(data, 8, "db");
    uint32_t count = ReadLe16(db + 2);
    const uint8_t *list = hive.Data(ReadLe32(db + 4), 4 * count);
    for (uint32_t i = 0; list != nullptr && i < count && out->size() < size; i++) {
        uint32_t segment = ReadLe32(list + 4 * i);
        const uint8_t *bytes = hive.Data(segment);
        if (bytes == nullptr)
            return ERROR_REGISTRY_CORRUPT;
        size_t take = std::min<size_t>(std::min<uint32_t>(hive.Length(segment), kLargestPlainData),
                                       size - out->size());
        out->append(reinterpret_cast<const char *>(bytes), take);
    }
    return out->size() == size ? ERROR_SUCCESS : ERROR_REGISTRY_CORRUPT;
}

// Gives back the cells the value's data occupies.
void FreeData(HiveCells *hive, uint32_t size, uint32_t data) {
    if ((size & kInlineData) || size == 0)
        return;
    if (Segmented(*hive, size, data)) {
        const uint8_t *db = hive->Data(data, 8, "db");
        uint32_t count = ReadLe16(db + 2), segments = ReadLe32(db + 4);
        const uint8_t *list = hive->Data(segments, 4 * count);
        for (uint32_t i = 0; list != nullptr && i < count; i++)
            hive->Free(ReadLe32(list + 4 * i));
        hive->Free(segments);
    }
    hive->Free(data);
}

// Puts the data in the value, reusing its data cell when it is large
// enough.
LONG StoreData(HiveCells *hive, uint32_t cell, const std::string &data) {
    const uint8_t *vk = hive->Data(cell, kValueHeader, "vk");
    uint32_t oldSize = ReadLe32(vk + kValueSize), oldData = ReadLe32(vk + kValueData);
    uint32_t size = static_cast<uint32_t>(data.size()), where = kNoCell;
    bool reuse = size > 4 && !(oldSize & kInlineData) && oldSize != 0 &&
                 !Segmented(*hive, oldSize, oldData) && hive->Length(oldData) >= size;
    if (reuse)
        where = oldData;
    else if (size > 4 && !hive->Allocate(size, &where))
        return ERROR_CANTWRITE;
    if (!reuse)
        FreeData(hive, oldSize, oldData);
    uint8_t *fields = hive->Change(cell, kValueSize, 8);
    if (size > 4) {
        memcpy(hive->Change(where, 0, size), data.data(), size);
        WriteLe32(fields, size);
        WriteLe32(fields + 4, where);
    } else {
        WriteLe32(fields, size | kInlineData);
        memset(fields + 4, 0, 4);
        memcpy(fields + 4, data.data(), size);
    }
    return ERROR_SUCCESS;
}

LONG NewValue(HiveCells *hive, const std::string &name, uint32_t *cell) {
    bool compressed = false;
    std::vector<uint8_t> stored = StoredName(name, &compressed);
    uint32_t length = kValueHeader + static_cast<uint32_t>(stored.size());
    if (!hive->Allocate(length, cell))
        return ERROR_CANTWRITE;
    uint8_t *vk = hive->Change(*cell, 0, length);
    memcpy(vk, "vk", 2);
    WriteLe16(vk + kValueNameLength, static_cast<uint16_t>(stored.size()));
    WriteLe32(vk + kValueSize, kInlineData);
    WriteLe16(vk + kValueFlags, compressed ? kCompressedValueName : 0);
    memcpy(vk + kValueHeader, stored.data(), stored.size());
    return ERROR_SUCCESS;
}

// Adds the value cell at the end of the key's list, in the list's own cell
// when it has room.
LONG AppendValue(HiveCells *hive, HiveNode node, uint32_t value) {
    const uint8_t *nk = hive->Data(node, kKeyName, "nk");
    uint32_t count = ReadLe32(nk + kKeyValueCount), list = ReadLe32(nk + kKeyValueList);
    uint32_t need = 4 * (count + 1);
    if (count == 0 || hive->Length(list) < need) {
        uint32_t grown = 0;
        if (!hive->Allocate(need, &grown))
            return ERROR_CANTWRITE;
        if (count != 0) {
            memcpy(hive->Change(grown, 0, 4 * count), hive->Data(list), 4 * count);
            hive->Free(list);
        }
        list = grown;
        WriteLe32(hive->Change(node, kKeyValueList, 4), list);
    }
    WriteLe32(hive->Change(list, 4 * count, 4), value);
    WriteLe32(hive->Change(node, kKeyValueCount, 4), count + 1);
    return ERROR_SUCCESS;
}

void RaiseLongest(HiveCells *hive, HiveNode node, size_t field, uint32_t length) {
    uint8_t *at = hive->Change(node, field, 4);
    WriteLe32(at, std::max(ReadLe32(at), length));
}

} // namespace

LONG ReadValues(const HiveCells &hive, HiveNode node, std::vector<StoredValue> *values) {
    std::vector<ValueRef> cells;
    LONG rc = ValueCells(hive, node, &cells);
    values->assign(cells.size(), StoredValue());
    for (size_t i = 0; rc == ERROR_SUCCESS && i < cells.size(); i++) {
        (*values)[i].name = ValueName(cells[i]);
        (*values)[i].type = ReadLe32(cells[i].vk + kValueType);
        rc = ReadData(hive, cells[i], &(*values)[i].data);
    }
    return rc;
}

LONG ReadDword(const HiveCells &hive, HiveNode node, const std::string &name, uint32_t *value) {
    std::vector<StoredValue> values;
    LONG rc = ReadValues(hive, node, &values);
    if (rc != ERROR_SUCCESS)
        return rc;
    for (const StoredValue &v : values) {
        if (!SameRegistryName(v.name, name))
            continue;
        if (v.type != REG_DWORD || v.data.size() != 4)
            return ERROR_BADDB;
        *value = ReadLe32(reinterpret_cast<const uint8_t *>(v.data.data()));
        return ERROR_SUCCESS;
    }
    return ERROR_FILE_NOT_FOUND;
}

LONG CollectKeyStats(const HiveCells &hive, HiveNode node, const std::vector<std::string> &subkeys,
                     KeyStats *stats) {
    for (const std::string &name : subkeys)
        stats->maxSubKeyLen = std::max<DWORD>(stats->maxSubKeyLen, Utf16Length(name));
    stats->subKeys = static_cast<DWORD>(subkeys.size());
    std::vector<ValueRef> cells;
    LONG rc = ValueCells(hive, node, &cells);
    for (const ValueRef &value : cells) {
        stats->maxValueNameLen =
            std::max<DWORD>(stats->maxValueNameLen, Utf16Length(ValueName(value)));
        stats->maxValueLen =
            std::max<DWORD>(stats->maxValueLen, ReadLe32(value.vk + kValueSize) & ~kInlineData);
    }
    stats->values = static_cast<DWORD>(cells.size());
    return rc;
}

LONG SetNodeValue(HiveCells *hive, HiveNode node, const StoredValue &value, uint64_t filetime) {
    std::vector<ValueRef> cells;
    LONG rc = ValueCells(*hive, node, &cells);
    if (rc != ERROR_SUCCESS)
        return rc;
    uint32_t cell = kNoCell;
    for (const ValueRef &old : cells)
        if (cell == kNoCell && SameRegistryName(ValueName(old), value.name))
            cell = old.cell;
    if (cell == kNoCell) {
        rc = NewValue(hive, value.name, &cell);
        if (rc == ERROR_SUCCESS)
            rc = AppendValue(hive, node, cell);
    }
    if (rc == ERROR_SUCCESS)
        rc = StoreData(hive, cell, value.data);
    if (rc != ERROR_SUCCESS)
        return rc;
    WriteLe32(hive->Change(cell, kValueType, 4), value.type);
    RaiseLongest(hive, node, kKeyLongestValueName,
                 2 * static_cast<uint32_t>(Utf16Length(value.name)));
    RaiseLongest(hive, node, kKeyLongestValueData, static_cast<uint32_t>(value.data.size()));
    Stamp(hive, node, filetime);
    return ERROR_SUCCESS;
}

LONG FreeValues(HiveCells *hive, HiveNode node) {
    std::vector<ValueRef> cells;
    LONG rc = ValueCells(*hive, node, &cells);
    if (rc != ERROR_SUCCESS)
        return rc;
    for (const ValueRef &value : cells) {
        FreeData(hive, ReadLe32(value.vk + kValueSize), ReadLe32(value.vk + kValueData));
        hive->Free(value.cell);
    }
    const uint8_t *nk = hive->Data(node, kKeyName, "nk");
    if (!cells.empty())
        hive->Free(ReadLe32(nk + kKeyValueList));
    WriteLe32(hive->Change(node, kKeyValueCount, 4), 0);
    WriteLe32(hive->Change(node, kKeyValueList, 4), kNoCell);
    return ERROR_SUCCESS;
}
