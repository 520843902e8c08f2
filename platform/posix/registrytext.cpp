#include "registrytext.h"

namespace {

// Code page 1252 differs from Latin-1 only in 0x80-0x9F.  The five bytes
// it leaves undefined map to the C1 control of the same value, as the
// system's own conversion does.
const char16_t kHighControls[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

char16_t WidenByte(uint8_t byte) {
    if (byte >= 0x80 && byte < 0xA0)
        return kHighControls[byte - 0x80];
    return byte;
}

char NarrowCodePoint(uint32_t cp) {
    if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF))
        return static_cast<char>(cp);
    for (int i = 0; i < 32; i++) {
        if (kHighControls[i] == cp)
            return static_cast<char>(0x80 + i);
    }
    return '?';
}

void AppendUtf8(std::string &out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Decodes the sequence at text[*pos] and advances past it.  A malformed
// sequence yields U+FFFD and consumes one byte, so decoding always ends.
uint32_t NextCodePoint(const std::string &text, size_t *pos) {
    uint8_t lead = static_cast<uint8_t>(text[*pos]);
    if (lead < 0x80) {
        (*pos)++;
        return lead;
    }
    int extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
    if (extra == 0 || *pos + extra >= text.size()) {
        (*pos)++;
        return 0xFFFD;
    }
    uint32_t cp = lead & (0x3F >> extra);
    for (int i = 1; i <= extra; i++) {
        uint8_t next = static_cast<uint8_t>(text[*pos + i]);
        if ((next & 0xC0) != 0x80) {
            (*pos)++;
            return 0xFFFD;
        }
        cp = (cp << 6) | (next & 0x3F);
    }
    *pos += extra + 1;
    return cp;
}

char FoldAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

} // namespace

std::string NarrowToUtf8(const char *text, size_t length) {
    std::string out;
    for (size_t i = 0; i < length; i++)
        AppendUtf8(out, WidenByte(static_cast<uint8_t>(text[i])));
    return out;
}

std::string NarrowToUtf8(const char *text) {
    std::string narrow = text == nullptr ? "" : text;
    return NarrowToUtf8(narrow.data(), narrow.size());
}

std::string Utf8ToNarrow(const std::string &utf8) {
    std::string out;
    for (size_t pos = 0; pos < utf8.size();)
        out += NarrowCodePoint(NextCodePoint(utf8, &pos));
    return out;
}

std::vector<uint8_t> NarrowToUtf16le(const uint8_t *data, size_t size) {
    std::vector<uint8_t> out;
    out.reserve(size * 2);
    for (size_t i = 0; i < size; i++) {
        char16_t unit = WidenByte(data[i]);
        out.push_back(static_cast<uint8_t>(unit & 0xFF));
        out.push_back(static_cast<uint8_t>(unit >> 8));
    }
    return out;
}

size_t Utf16Length(const std::string &utf8) {
    size_t units = 0;
    for (size_t pos = 0; pos < utf8.size();)
        units += NextCodePoint(utf8, &pos) >= 0x10000 ? 2 : 1;
    return units;
}

bool SameRegistryName(const std::string &a, const std::string &b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++) {
        if (FoldAscii(a[i]) != FoldAscii(b[i]))
            return false;
    }
    return true;
}

std::string FoldRegistryName(const std::string &name) {
    std::string folded = name;
    for (char &c : folded)
        c = FoldAscii(c);
    return folded;
}
