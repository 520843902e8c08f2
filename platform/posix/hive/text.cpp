#include "text.h"

#include "platform/posix/codepage.h"

namespace {

void AppendUtf8(std::string &out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
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
        AppendUtf8(out, WideUnit(static_cast<uint8_t>(text[i])));
    return out;
}

std::string NarrowToUtf8(const char *text) {
    std::string narrow = text == nullptr ? "" : text;
    return NarrowToUtf8(narrow.data(), narrow.size());
}

std::string Utf8ToNarrow(const std::string &utf8) {
    std::string out;
    for (size_t pos = 0; pos < utf8.size();)
        out += NarrowUnit(NextCodePoint(utf8, &pos));
    return out;
}

std::vector<uint8_t> NarrowToUtf16le(const uint8_t *data, size_t size) {
    std::vector<uint8_t> out;
    out.reserve(size * 2);
    for (size_t i = 0; i < size; i++) {
        char16_t unit = WideUnit(data[i]);
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

std::string HiveNameToUtf8(const uint8_t *bytes, size_t length, bool compressed) {
    std::string out;
    if (compressed) {
        for (size_t i = 0; i < length; i++)
            AppendUtf8(out, bytes[i]);
        return out;
    }
    for (size_t i = 0; i + 1 < length; i += 2) {
        uint32_t unit = bytes[i] | (bytes[i + 1] << 8);
        uint32_t low = i + 3 < length ? bytes[i + 2] | (bytes[i + 3] << 8) : 0;
        if (unit >= 0xD800 && unit < 0xDC00 && low >= 0xDC00 && low < 0xE000) {
            AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
            i += 2;
        } else {
            AppendUtf8(out, unit >= 0xD800 && unit < 0xE000 ? 0xFFFD : unit);
        }
    }
    return out;
}

std::u16string Utf8ToUtf16(const std::string &utf8) {
    std::u16string out;
    for (size_t pos = 0; pos < utf8.size();) {
        uint32_t cp = NextCodePoint(utf8, &pos);
        if (cp >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

std::vector<uint8_t> StoredName(const std::string &utf8, bool *compressed) {
    std::u16string wide = Utf8ToUtf16(utf8);
    *compressed = true;
    for (char16_t c : wide)
        *compressed = *compressed && c < 0x100;
    std::vector<uint8_t> stored;
    for (char16_t c : wide) {
        stored.push_back(static_cast<uint8_t>(c));
        if (!*compressed)
            stored.push_back(static_cast<uint8_t>(c >> 8));
    }
    return stored;
}

// The letters a name from the Western code page can hold; other
// characters are compared as they are.  The system's own table also
// upper-cases Greek, Cyrillic and some hundreds of other letters of the
// Basic Multilingual Plane, which this one does not: a name holding them
// is sorted and hashed here as the system would not.  The names the
// installer creates are ASCII.
char16_t UpcaseUnit(char16_t c) {
    if ((c >= 'a' && c <= 'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7))
        return static_cast<char16_t>(c - 0x20);
    switch (c) {
    case 0xFF:
        return 0x178;
    case 0x153:
        return 0x152;
    case 0x161:
        return 0x160;
    case 0x17E:
        return 0x17D;
    case 0x192:
        return 0x191;
    default:
        return c;
    }
}
