// The layout of the records in a hive's cells: key nodes ("nk"), values
// ("vk") and security cells ("sk"), as offsets within a cell's data (after
// its size word).  Shared by the checks and the editor.
#ifndef DRVINST_POSIX_HIVE_KEYCELL_H
#define DRVINST_POSIX_HIVE_KEYCELL_H

#include "cells.h"
#include "file.h"

#include "platform/posix/winapi.h"

#include <cstddef>
#include <cstdint>

constexpr uint32_t kNoCell = 0xFFFFFFFF;

constexpr size_t kKeyFlags = 0x02;
constexpr size_t kKeyTimestamp = 0x04;
constexpr size_t kKeyParent = 0x10;
constexpr size_t kKeySubkeyCount = 0x14;
constexpr size_t kKeySubkeyList = 0x1C;
constexpr size_t kKeyVolatileList = 0x20;
constexpr size_t kKeyValueCount = 0x24;
constexpr size_t kKeyValueList = 0x28;
constexpr size_t kKeySecurity = 0x2C;
constexpr size_t kKeyClass = 0x30;
constexpr size_t kKeyLongestSubkey = 0x34; // UTF-16 bytes, low 16 bits
constexpr size_t kKeyLongestClass = 0x38;  // of the subkeys' classes, bytes
constexpr size_t kKeyLongestValueName = 0x3C;
constexpr size_t kKeyLongestValueData = 0x40;
constexpr size_t kKeyNameLength = 0x48;
constexpr size_t kKeyClassLength = 0x4A;
constexpr size_t kKeyName = 0x4C;
constexpr uint16_t kCompressedKeyName = 0x20;

constexpr size_t kValueNameLength = 0x02;
constexpr size_t kValueSize = 0x04;
constexpr size_t kValueData = 0x08;
constexpr size_t kValueType = 0x0C;
constexpr size_t kValueFlags = 0x10;
constexpr size_t kValueHeader = 0x14; // where the name starts
constexpr uint16_t kCompressedValueName = 0x01;
constexpr uint32_t kInlineData = 0x80000000;
// Larger values are kept in segments behind a "db" cell from version 1.4.
constexpr uint32_t kLargestPlainData = 16344;

constexpr size_t kSecurityNext = 0x04;
constexpr size_t kSecurityPrevious = 0x08;
constexpr size_t kSecurityUsers = 0x0C;
constexpr size_t kSecurityHeader = 0x14;

// Sets the key's last-write time.
void Stamp(HiveCells *hive, HiveNode node, uint64_t filetime);

// Gives back the values of a key, their data and its value list, leaving
// the key with none.
LONG FreeValues(HiveCells *hive, HiveNode node);

#endif
