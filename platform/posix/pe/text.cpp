#include "text.h"

#include "image.h"

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
