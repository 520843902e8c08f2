#include "platform/posix/codepage.h"

// Code page 1252 differs from Latin-1 only in 0x80-0x9F.  The five places
// it leaves undefined keep the C1 control of the same number, as Windows'
// own conversion does.
static const uint16_t kHighControls[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

char NarrowUnit(uint32_t codePoint) {
    if (codePoint < 0x80 || (codePoint >= 0xA0 && codePoint <= 0xFF))
        return static_cast<char>(codePoint);
    for (int i = 0; i < 32; i++) {
        if (kHighControls[i] == codePoint)
            return static_cast<char>(0x80 + i);
    }
    return '?';
}

uint16_t WideUnit(unsigned char c) {
    return c >= 0x80 && c < 0xA0 ? kHighControls[c - 0x80] : c;
}
