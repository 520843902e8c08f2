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
    std::u16string fileVersion = u"1.0";
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
    std::string payload;
};

using Bytes = std::vector<uint8_t>;

// Little-endian, width bytes of v.
inline void Put(Bytes &out, size_t at, uint32_t v, size_t width = 4) {
    for (size_t i = 0; i < width; i++)
        out[at + i] = static_cast<uint8_t>(v >> 8 * i);
}

inline void Append(Bytes &out, uint32_t v, size_t width = 4) {
    out.resize(out.size() + width);
    Put(out, out.size() - width, v, width);
}

inline uint32_t SizeOf(const Bytes &bytes) {
    return static_cast<uint32_t>(bytes.size());
}

inline uint32_t AlignUp(uint32_t value, uint32_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

inline void PadTo(Bytes &out, uint32_t alignment) {
    out.resize(AlignUp(SizeOf(out), alignment));
}

inline void AppendUtf16(Bytes &out, const std::u16string &text) {
    for (char16_t unit : text)
        Append(out, unit, 2);
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
    AppendUtf16(out, std::u16string(node.key.begin(), node.key.end()));
    Append(out, 0, 2);
    PadTo(out, 4);
    out.insert(out.end(), node.value.begin(), node.value.end());
    for (const Node &child : node.children) {
        PadTo(out, 4);
        Bytes bytes = Serialize(child);
        out.insert(out.end(), bytes.begin(), bytes.end());
    }
    Put(out, 0, SizeOf(out), 2), Put(out, 2, node.valueLength, 2), Put(out, 4, node.type, 2);
    return out;
}

// A text String; the terminator is always stored, only its count varies.
inline Node TextNode(const std::string &key, const std::u16string &text, bool counted) {
    Node node{key, 1, {}, 0, {}};
    AppendUtf16(node.value, text);
    node.valueLength = static_cast<uint16_t>(node.value.size() / 2 + counted);
    Append(node.value, 0, 2);
    return node;
}

inline Bytes VersionResource(const Options &o) {
    Node root{"VS_VERSION_INFO", 0, {}, 0, {}};
    // The fixed block's numbers are 2.1 whatever the text says, since only
    // the text is read.
    for (uint32_t v : {0xFEEF04BDu, 0x00010000u, 0x00020001u, 0u, 0x00020001u, 0u, 0x3Fu, 0u,
                       0x00040004u, 3u /* driver */, 7u /* system driver */, 0u, 0u})
        if (o.fixedInfo)
            Append(root.value, v);
    root.valueLength = static_cast<uint16_t>(root.value.size());
    Node table{o.block, 1, {}, 0, {TextNode("FileDescription", u"Fixture driver", true)}};
    if (o.withFileVersion)
        table.children.push_back(TextNode("FileVersion", o.fileVersion, o.counted));
    root.children.push_back(Node{"StringFileInfo", 1, {}, 0, {table}});
    // US English in Unicode, whatever the block is named: an install never reads it.
    Node var{"Translation", 0, {}, 4, {}};
    Append(var.value, 0x0409, 2), Append(var.value, 0x04B0, 2);
    root.children.push_back(Node{"VarFileInfo", 1, {}, 0, {var}});
    return Serialize(root);
}

constexpr uint32_t kFileAlign = 0x200, kSectionAlign = 0x1000, kPeOffset = 0x40;

// Resource directory offsets inside the section: the type (16) and name
// levels of one entry each, the language level, its data entries, then the
// data.  The last two offsets hold for a single language.
constexpr uint32_t kNameDir = 0x18, kLangDir = 0x30, kDataEntry = 0x48, kData = 0x58;

inline void AppendDirectory(Bytes &out, const std::vector<std::pair<uint32_t, uint32_t>> &entries) {
    out.resize(out.size() + 14); // characteristics, time stamp, version, no named entries
    Append(out, static_cast<uint32_t>(entries.size()), 2);
    for (const auto &entry : entries)
        Append(out, entry.first), Append(out, entry.second);
}

inline Bytes ResourceSection(const Options &o, uint32_t rva) {
    const uint32_t count = static_cast<uint32_t>(o.languages.size());
    const uint32_t dataEntries = kLangDir + 16 + 8 * count;
    std::vector<Bytes> versions;
    std::vector<std::pair<uint32_t, uint32_t>> languages;
    for (uint32_t i = 0; i < count; i++) {
        Options own = o;
        char block[9];
        snprintf(block, sizeof block, "%04X04B0", o.languages[i]);
        if (i + 1 < count)
            own.block = block;
        versions.push_back(VersionResource(own));
        languages.emplace_back(o.languages[i], dataEntries + 16 * i);
    }
    Bytes out;
    AppendDirectory(out, {{16, 0x80000000u | kNameDir}});
    AppendDirectory(out, {{o.nameId, 0x80000000u | kLangDir}});
    AppendDirectory(out, languages);
    uint32_t data = dataEntries + 16 * count;
    for (const Bytes &version : versions) {
        for (uint32_t v : {rva + data, SizeOf(version), 0u, 0u})
            Append(out, v);
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

// A code section holding a lone "ret" and the payload, then the resources.
inline std::vector<Section> LayoutSections(const Options &o) {
    Bytes code{0xC3};
    code.insert(code.end(), o.payload.begin(), o.payload.end());
    std::vector<Section> sections{Section{".text", code, 0x60000020, kSectionAlign, kFileAlign}};
    uint32_t rva = kSectionAlign + AlignUp(SizeOf(code), kSectionAlign);
    uint32_t offset = kFileAlign + AlignUp(SizeOf(code), kFileAlign);
    if (o.resource)
        sections.push_back(Section{".rsrc", ResourceSection(o, rva), 0x40000040, rva, offset});
    return sections;
}

// The whole driver image; PE32 and PE32+ differ in the optional header's
// size and in where its wider fields and the directories lie.
inline Bytes DriverImage(const Options &o) {
    std::vector<Section> sections = LayoutSections(o);
    const Section &text = sections[0], &last = sections.back();
    const uint32_t rsrcSize = o.resource ? SizeOf(last.data) : 0;
    const bool p = o.pe32;
    const size_t coff = kPeOffset + 4, opt = coff + 20, table = opt + (p ? 224 : 240);
    const size_t dirs = opt + (p ? 96 : 112);
    Bytes image(last.fileOffset + AlignUp(SizeOf(last.data), kFileAlign));
    image[0] = 'M', image[1] = 'Z', image[kPeOffset] = 'P', image[kPeOffset + 1] = 'E';
    struct Field {
        size_t at;
        uint32_t value;
        size_t width;
    } fields[] = {
        // clang-format off
        {0x3C, kPeOffset, 4}, {coff, p ? 0x14Cu : 0x8664u, 2},
        {coff + 2, static_cast<uint32_t>(sections.size()), 2}, {coff + 16, p ? 224u : 240u, 2},
        {coff + 18, p ? 0x0102u : 0x0022u, 2}, // executable, 32-bit or large address
        {opt, p ? 0x10Bu : 0x20Bu, 2}, {opt + 2, 14, 1}, // linker version
        {opt + 4, AlignUp(SizeOf(text.data), kFileAlign), 4},
        {opt + 8, AlignUp(rsrcSize, kFileAlign), 4},
        {opt + 16, text.rva, 4}, {opt + 20, text.rva, 4}, // entry point: the lone "ret"
        // image base, stack and heap sizes, directory count
        {opt + (p ? 28 : 24), 0x10000, 4}, {opt + 72, 0x40000, 4}, {opt + (p ? 76 : 80), 0x1000, 4},
        {opt + (p ? 80 : 88), 0x100000, 4}, {opt + (p ? 84 : 96), 0x1000, 4},
        {opt + (p ? 92 : 108), 16, 4},
        {opt + 32, kSectionAlign, 4}, {opt + 36, kFileAlign, 4},
        {opt + 40, 0x00010006, 4}, {opt + 48, 0x00010006, 4}, // system and subsystem 6.1
        {opt + 56, last.rva + AlignUp(SizeOf(last.data), kSectionAlign), 4},
        {opt + 60, kFileAlign, 4}, {opt + 68, 1, 2}, // native subsystem, as drivers are
        {dirs + 16, o.resource ? last.rva : 0, 4}, {dirs + 20, rsrcSize, 4},
        // clang-format on
    };
    for (const Field &f : fields)
        Put(image, f.at, f.value, f.width);
    for (size_t i = 0; i < sections.size(); i++) {
        const Section &s = sections[i];
        size_t at = table + 40 * i;
        std::copy(s.name, s.name + 5, image.begin() + at);
        for (auto [field, value] : {std::pair<size_t, uint32_t>{8, SizeOf(s.data)},
                                    {12, s.rva},
                                    {16, AlignUp(SizeOf(s.data), kFileAlign)},
                                    {20, s.fileOffset},
                                    {36, s.characteristics}})
            Put(image, at + field, value);
        std::copy(s.data.begin(), s.data.end(), image.begin() + s.fileOffset);
    }
    return image;
}

} // namespace pefixture

#endif
