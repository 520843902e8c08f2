// Text of version resources: UTF-16LE in the file, Windows-1252 for the
// narrow ("A") functions, one narrow character per UTF-16 unit so that a
// reported length holds in both.
#ifndef DRVINST_POSIX_PETEXT_H
#define DRVINST_POSIX_PETEXT_H

#include <cstddef>
#include <cstdint>

// The Windows-1252 character for a UTF-16 unit, or '?' when it has none.
char NarrowUnit(uint16_t unit);

// The UTF-16 unit for a Windows-1252 character.
uint16_t WideUnit(unsigned char c);

// Converts units UTF-16LE units to as many narrow characters.
void NarrowText(const uint8_t *utf16, size_t units, char *out);

// Whether a key equals the narrow name, ignoring case in the Latin-1
// range, as version queries do.
bool KeyMatches(const uint8_t *utf16, size_t units, const char *name, size_t length);

#endif
