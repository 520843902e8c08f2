#include "petext.h"

#include "pe.h"

// What Windows-1252 puts at 0x80-0x9F.  The five unassigned places keep
// the control character of the same number, as Windows does.
static const uint16_t kHighControls[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

char NarrowUnit(uint16_t unit) {
    if (unit < 0x80 || (unit >= 0xA0 && unit <= 0xFF))
        return static_cast<char>(unit);
    for (int i = 0; i < 32; i++) {
        if (kHighControls[i] == unit)
            return static_cast<char>(0x80 + i);
    }
    return '?';
}

uint16_t WideUnit(unsigned char c) {
    return c >= 0x80 && c < 0xA0 ? kHighControls[c - 0x80] : c;
}

void NarrowText(const uint8_t *utf16, size_t units, char *out) {
    for (size_t i = 0; i < units; i++)
        out[i] = NarrowUnit(Le16(utf16 + 2 * i));
}

// Upper case for ASCII and Latin-1 letters; the rest is left alone.
static uint16_t FoldCase(uint16_t unit) {
    bool ascii = unit >= 'a' && unit <= 'z';
    bool latin = unit >= 0xE0 && unit <= 0xFE && unit != 0xF7;
    return ascii || latin ? static_cast<uint16_t>(unit - 0x20) : unit;
}

bool KeyMatches(const uint8_t *utf16, size_t units, const char *name, size_t length) {
    if (units != length)
        return false;
    for (size_t i = 0; i < units; i++) {
        uint16_t wide = WideUnit(static_cast<unsigned char>(name[i]));
        if (FoldCase(Le16(utf16 + 2 * i)) != FoldCase(wide))
            return false;
    }
    return true;
}
