// Text as the narrow registry calls see it.  Callers hand over bytes in the
// Western Windows code page (1252); the hive keeps names and strings in
// UTF-16 (or one byte per character where that suffices), and the backend
// carries names as UTF-8 in between.
#ifndef DRVINST_POSIX_HIVE_TEXT_H
#define DRVINST_POSIX_HIVE_TEXT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The caller's narrow text as UTF-8.
std::string NarrowToUtf8(const char *text, size_t length);
std::string NarrowToUtf8(const char *text);

// A UTF-8 name back in the narrow code page; what it cannot show becomes '?'.
std::string Utf8ToNarrow(const std::string &utf8);

// Narrow string data widened to UTF-16LE byte for byte, embedded and
// trailing NULs included, as the narrow API stores REG_SZ data.
std::vector<uint8_t> NarrowToUtf16le(const uint8_t *data, size_t size);

// The length of a UTF-8 name in UTF-16 units, the unit the registry counts
// name lengths in.
size_t Utf16Length(const std::string &utf8);

// Key and value names compare without regard to ASCII case.
bool SameRegistryName(const std::string &a, const std::string &b);

// The name with ASCII letters in lower case: two names are the same name
// exactly when their folded forms are equal.
std::string FoldRegistryName(const std::string &name);

// A name as the hive stores it, one byte per character (compressed) or
// UTF-16LE, as UTF-8; a lone surrogate becomes U+FFFD.
std::string HiveNameToUtf8(const uint8_t *bytes, size_t length, bool compressed);

std::u16string Utf8ToUtf16(const std::string &utf8);

// A name as the hive stores it: one byte per character when every one
// fits (*compressed), else UTF-16LE, as the system decides.
std::vector<uint8_t> StoredName(const std::string &utf8, bool *compressed);

// The upper case the system sorts and hashes key names by.
char16_t UpcaseUnit(char16_t c);

#endif
