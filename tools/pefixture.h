// Builds small driver images that carry a version resource, for tests and
// for the mksys tool.  The resource bytes are laid out here by hand rather
// than by a resource compiler, because the files under test must also show
// the shapes that compilers never write: a FileVersion whose count leaves
// out the terminator, a missing fixed block, sizes that lie.
#ifndef DRVINST_TOOLS_PEFIXTURE_H
#define DRVINST_TOOLS_PEFIXTURE_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace pefixture {

struct Options {
    std::string fileVersion = "1.0";
    bool withFileVersion = true;
    bool counted = true; // whether wValueLength includes the terminator
    std::string block = "040904B0";
    bool fixedInfo = true;
    bool resource = true;
    bool pe32 = false;
    uint16_t nameId = 1; // the loader takes only ID 1 as the version resource
    // Language entries, in this order; the last carries the string table
    // named block, each other one a table named after its own language.
    std::vector<uint16_t> languages{0x409};
    bool oversizeData = false; // data entry Size far past the end of the file
    bool setRootLength = false;
    uint16_t rootLength = 0;
    std::string payload;
};

using Bytes = std::vector<uint8_t>;

// The data entry Size written for oversizeData: far beyond any fixture.
constexpr uint32_t kOversizeData = 0x10000000;

inline void Put16(Bytes &out, size_t at, uint16_t v) {
    out[at] = static_cast<uint8_t>(v);
    out[at + 1] = static_cast<uint8_t>(v >> 8);
}

inline void Put32(Bytes &out, size_t at, uint32_t v) {
    Put16(out, at, static_cast<uint16_t>(v)), Put16(out, at + 2, static_cast<uint16_t>(v >> 16));
}

inline void Append16(Bytes &out, uint16_t v) {
    out.insert(out.end(), {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)});
}

inline void Append32(Bytes &out, uint32_t v) {
    Append16(out, static_cast<uint16_t>(v)), Append16(out, static_cast<uint16_t>(v >> 16));
}

inline uint32_t SizeOf(const Bytes &bytes) {
    return static_cast<uint32_t>(bytes.size());
}

inline void PadTo(Bytes &out, size_t alignment) {
    while (out.size() % alignment != 0)
        out.push_back(0);
}

// The code point of the UTF-8 sequence at text[i], advancing i past it.
// A byte that starts no well-formed sequence stands for itself, so plain
// Latin-1 text passes through too.
inline uint32_t DecodeUtf8(const std::string &text, size_t &i) {
    auto byte = [&](size_t at) { return static_cast<unsigned char>(text[at]); };
    unsigned char lead = byte(i++);
    size_t extra = lead >= 0xF0 && lead < 0xF5 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC2 ? 1 : 0;
    if (lead < 0x80 || extra == 0 || i + extra > text.size())
        return lead;
    uint32_t cp = lead & (0x3F >> extra);
    for (size_t k = 0; k < extra; k++) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return lead;
        cp = cp << 6 | (byte(i + k) & 0x3F);
    }
    i += extra;
    return cp;
}

inline void AppendUtf16(Bytes &out, const std::string &text) {
    for (size_t i = 0; i < text.size();) {
        uint32_t cp = DecodeUtf8(text, i);
        if (cp >= 0x10000) {
            Append16(out, static_cast<uint16_t>(0xD800 + ((cp - 0x10000) >> 10)));
            cp = 0xDC00 + ((cp - 0x10000) & 0x3FF);
        }
        Append16(out, static_cast<uint16_t>(cp));
    }
}

// One node of the version tree, before layout.
struct Node {
    std::string key;
    uint16_t type = 1; // 1: the value is text counted in characters
    Bytes value;
    uint16_t valueLength = 0;
    std::vector<Node> children;
};

// Lays the node out: header, key, value and children each start 4-byte
// aligned, and wLength stops at the last byte written, before any padding.
inline Bytes Serialize(const Node &node) {
    Bytes out(6, 0);
    AppendUtf16(out, node.key);
    Append16(out, 0);
    PadTo(out, 4);
    out.insert(out.end(), node.value.begin(), node.value.end());
    for (const Node &child : node.children) {
        PadTo(out, 4);
        Bytes bytes = Serialize(child);
        out.insert(out.end(), bytes.begin(), bytes.end());
    }
    Put16(out, 0, static_cast<uint16_t>(out.size()));
    Put16(out, 2, node.valueLength);
    Put16(out, 4, node.type);
    return out;
}

// A text String; the terminator is always stored, only its count varies.
inline Node TextNode(const std::string &key, const std::string &text, bool counted) {
    Node node{key, 1, {}, 0, {}};
    AppendUtf16(node.value, text);
    size_t units = node.value.size() / 2;
    Append16(node.value, 0);
    node.valueLength = static_cast<uint16_t>(units + (counted ? 1 : 0));
    return node;
}

// The fixed block; its numbers are 2.1 whatever the text says, since only
// the text is read.
inline Bytes FixedFileInfo() {
    Bytes out;
    for (uint32_t v : {0xFEEF04BDu, 0x00010000u, 0x00020001u, 0u, 0x00020001u, 0u, 0x3Fu, 0u,
                       0x00040004u, 3u /* driver */, 7u /* system driver */, 0u, 0u})
        Append32(out, v);
    return out;
}

// The language and code page that the block name spells, for Translation.
inline Bytes Translation(const std::string &block) {
    unsigned long value = 0x040904B0;
    if (block.size() == 8 && block.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos)
        value = std::stoul(block, nullptr, 16);
    Bytes out;
    Append16(out, static_cast<uint16_t>(value >> 16));
    Append16(out, static_cast<uint16_t>(value));
    return out;
}

inline Node StringTable(const Options &o) {
    Node table{o.block, 1, {}, 0, {}};
    table.children.push_back(TextNode("FileDescription", "Fixture driver", true));
    if (o.withFileVersion)
        table.children.push_back(TextNode("FileVersion", o.fileVersion, o.counted));
    return table;
}

inline Bytes VersionResource(const Options &o) {
    Node root{"VS_VERSION_INFO", 0, {}, 0, {}};
    if (o.fixedInfo) {
        root.value = FixedFileInfo();
        root.valueLength = static_cast<uint16_t>(root.value.size());
    }
    root.children.push_back(Node{"StringFileInfo", 1, {}, 0, {StringTable(o)}});
    Node var{"Translation", 0, Translation(o.block), 4, {}};
    root.children.push_back(Node{"VarFileInfo", 1, {}, 0, {var}});
    Bytes out = Serialize(root);
    if (o.setRootLength)
        Put16(out, 0, o.rootLength);
    return out;
}

constexpr uint32_t kFileAlign = 0x200, kSectionAlign = 0x1000, kPeOffset = 0x40;

inline uint32_t AlignUp(uint32_t value, uint32_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

// Resource directory offsets inside the section: the type (16) and name
// levels of one entry each, the language level, its data entries, then the
// data.  The last two offsets hold for a single language.
constexpr uint32_t kNameDir = 0x18, kLangDir = 0x30, kDataEntry = 0x48, kData = 0x58;

inline void AppendDirectory(Bytes &out, const std::vector<std::pair<uint32_t, uint32_t>> &entries) {
    out.resize(out.size() + 14); // characteristics, time stamp, version, no named entries
    Append16(out, static_cast<uint16_t>(entries.size()));
    for (const auto &entry : entries)
        Append32(out, entry.first), Append32(out, entry.second);
}

inline Bytes ResourceSection(const Options &o, uint32_t rva) {
    const size_t count = o.languages.size();
    const uint32_t dataEntries = kLangDir + 16 + 8 * static_cast<uint32_t>(count);
    std::vector<Bytes> versions;
    std::vector<std::pair<uint32_t, uint32_t>> languages;
    for (size_t i = 0; i < count; i++) {
        Options own = o;
        if (i + 1 < count) {
            char block[9];
            snprintf(block, sizeof block, "%04X04B0", o.languages[i]);
            own.block = block;
        }
        versions.push_back(VersionResource(own));
        languages.emplace_back(o.languages[i], dataEntries + 16 * static_cast<uint32_t>(i));
    }
    Bytes out;
    AppendDirectory(out, {{16, 0x80000000u | kNameDir}});
    AppendDirectory(out, {{o.nameId, 0x80000000u | kLangDir}});
    AppendDirectory(out, languages);
    uint32_t data = dataEntries + 16 * static_cast<uint32_t>(count);
    for (const Bytes &version : versions) {
        for (uint32_t v : {rva + data, o.oversizeData ? kOversizeData : SizeOf(version), 0u, 0u})
            Append32(out, v);
        data = AlignUp(data + SizeOf(version), 8);
    }
    for (const Bytes &version : versions) {
        PadTo(out, 8);
        out.insert(out.end(), version.begin(), version.end());
    }
    return out;
}

struct Section {
    const char *name;
    Bytes data;
    uint32_t characteristics;
    uint32_t rva = 0, fileOffset = 0;
};

inline void WriteSectionHeader(Bytes &out, size_t at, const Section &s) {
    for (size_t i = 0; s.name[i] != 0 && i < 8; i++)
        out[at + i] = static_cast<uint8_t>(s.name[i]);
    Put32(out, at + 8, SizeOf(s.data));
    Put32(out, at + 12, s.rva);
    Put32(out, at + 16, AlignUp(SizeOf(s.data), kFileAlign));
    Put32(out, at + 20, s.fileOffset);
    Put32(out, at + 36, s.characteristics);
}

// The optional header fields that differ between PE32 and PE32+: the
// image base, stack and heap sizes and the directory count, each at its
// own offset; returns where the directories start.
inline size_t WriteOptionalWidths(Bytes &out, size_t opt, bool pe32) {
    Put16(out, opt, pe32 ? 0x10B : 0x20B);
    const uint32_t values[] = {0x10000, 0x40000, 0x1000, 0x100000, 0x1000, 16};
    const size_t at32[] = {28, 72, 76, 80, 84, 92}, at64[] = {24, 72, 80, 88, 96, 108};
    for (size_t i = 0; i < 6; i++)
        Put32(out, opt + (pe32 ? at32 : at64)[i], values[i]);
    return opt + (pe32 ? 96 : 112);
}

inline void WriteOptionalHeader(Bytes &out, size_t opt, const Options &o,
                                const std::vector<Section> &sections) {
    const Section &text = sections[0];
    const Section &last = sections.back();
    size_t dirs = WriteOptionalWidths(out, opt, o.pe32);
    out[opt + 2] = 14; // linker version
    Put32(out, opt + 4, AlignUp(SizeOf(text.data), kFileAlign));
    if (o.resource)
        Put32(out, opt + 8, AlignUp(SizeOf(last.data), kFileAlign));
    Put32(out, opt + 16, text.rva); // entry point: the lone "ret"
    Put32(out, opt + 20, text.rva);
    Put32(out, opt + 32, kSectionAlign);
    Put32(out, opt + 36, kFileAlign);
    for (size_t at : {40, 48}) // operating system and subsystem version 6.1
        Put16(out, opt + at, 6), Put16(out, opt + at + 2, 1);
    Put32(out, opt + 56, last.rva + AlignUp(SizeOf(last.data), kSectionAlign));
    Put32(out, opt + 60, kFileAlign);
    Put16(out, opt + 68, 1); // native subsystem, as drivers are
    if (o.resource) {
        Put32(out, dirs + 2 * 8, last.rva);
        Put32(out, dirs + 2 * 8 + 4, SizeOf(last.data));
    }
}

inline size_t WriteFileHeader(Bytes &out, const Options &o, size_t sectionCount) {
    out[0] = 'M', out[1] = 'Z';
    Put32(out, 0x3C, kPeOffset);
    out[kPeOffset] = 'P', out[kPeOffset + 1] = 'E';
    size_t coff = kPeOffset + 4;
    Put16(out, coff, o.pe32 ? 0x14C : 0x8664);
    Put16(out, coff + 2, static_cast<uint16_t>(sectionCount));
    uint16_t optSize = o.pe32 ? 224 : 240;
    Put16(out, coff + 16, optSize);
    Put16(out, coff + 18, o.pe32 ? 0x0102 : 0x0022); // executable, 32-bit or large address
    return coff + 20;
}

// A code section holding a lone "ret" and the payload, then the resources.
inline std::vector<Section> LayoutSections(const Options &o) {
    Bytes code{0xC3};
    code.insert(code.end(), o.payload.begin(), o.payload.end());
    std::vector<Section> sections{Section{".text", code, 0x60000020, kSectionAlign, kFileAlign}};
    if (o.resource) {
        const Section &text = sections[0];
        uint32_t rva = text.rva + AlignUp(SizeOf(text.data), kSectionAlign);
        uint32_t offset = text.fileOffset + AlignUp(SizeOf(text.data), kFileAlign);
        sections.push_back(Section{".rsrc", ResourceSection(o, rva), 0x40000040, rva, offset});
    }
    return sections;
}

// The whole driver image, checksum included.
inline Bytes DriverImage(const Options &o) {
    std::vector<Section> sections = LayoutSections(o);
    const Section &last = sections.back();
    Bytes image(last.fileOffset + AlignUp(SizeOf(last.data), kFileAlign));
    size_t opt = WriteFileHeader(image, o, sections.size());
    WriteOptionalHeader(image, opt, o, sections);
    size_t table = opt + (o.pe32 ? 224 : 240);
    for (size_t i = 0; i < sections.size(); i++) {
        WriteSectionHeader(image, table + 40 * i, sections[i]);
        std::copy(sections[i].data.begin(), sections[i].data.end(),
                  image.begin() + sections[i].fileOffset);
    }
    return image;
}

} // namespace pefixture

#endif
