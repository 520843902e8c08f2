// An empty hive built from nothing, for new trees and tests.
#ifndef DRVINST_POSIX_HIVE_IMAGE_H
#define DRVINST_POSIX_HIVE_IMAGE_H

#include <cstdint>
#include <string>
#include <vector>

// Whether name can be the root key's name: 1 to 255 printable ASCII
// characters without a backslash, since it is stored in the compressed
// (one byte per character) form.
bool IsValidRootName(const std::string &name);

// The bytes of a hive holding only a root key with the given name, which
// must satisfy IsValidRootName.  filetime stamps the hive and the key, in
// 100 ns units since 1601.
std::vector<uint8_t> BuildEmptyHive(const std::string &rootName, uint64_t filetime);

// Sets the base block's last-written timestamp to filetime, or just after
// it, and its checksum; returns the timestamp written.
uint64_t StampBaseBlock(uint8_t *base, uint64_t filetime);

// The current time as a FILETIME value.
uint64_t CurrentFiletime();

#endif
