// The Western Windows code page (1252), in which the narrow ("A") calls
// take and give text, against the UTF-16 the files and the hive hold.
#ifndef DRVINST_POSIX_CODEPAGE_H
#define DRVINST_POSIX_CODEPAGE_H

#include <cstdint>

// The code-page character for a Unicode code point, or '?' when it has none.
char NarrowUnit(uint32_t codePoint);

// The UTF-16 unit for a code-page character.
uint16_t WideUnit(unsigned char c);

#endif
