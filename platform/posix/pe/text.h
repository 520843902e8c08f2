// Text of version resources: UTF-16LE in the file, Windows-1252 for the
// narrow ("A") functions, one narrow character per UTF-16 unit so that a
// reported length holds in both.
#ifndef DRVINST_POSIX_PE_TEXT_H
#define DRVINST_POSIX_PE_TEXT_H

#include "platform/posix/codepage.h"

#include <cstddef>
#include <cstdint>

// Converts units UTF-16LE units to as many narrow characters.
void NarrowText(const uint8_t *utf16, size_t units, char *out);

// Whether a key equals the narrow name, ignoring case in the Latin-1
// range, as version queries do.
bool KeyMatches(const uint8_t *utf16, size_t units, const char *name, size_t length);

#endif
