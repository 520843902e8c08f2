// The walk from the resource root to the version resource's data: type,
// then name, then language, then the data entry.
#include "image.h"

namespace {

constexpr uint32_t kSubdirectory = 0x80000000u;
constexpr uint32_t kVersionType = 16;

struct Directory {
    uint16_t named; // named entries come first, then those with an ID
    std::vector<uint8_t> entries;
};

} // namespace

// Reads length bytes at an offset from the resource root.
static bool ReadResource(const PeImage &image, uint32_t offset, void *out, uint32_t length) {
    uint64_t rva = static_cast<uint64_t>(image.resourceRva) + offset;
    uint64_t at = 0;
    return rva <= UINT32_MAX && MapRva(image, static_cast<uint32_t>(rva), length, &at) &&
           ReadFileAt(image, at, out, length);
}

static bool ReadDirectory(const PeImage &image, uint32_t offset, Directory *dir) {
    uint8_t header[16];
    if (!ReadResource(image, offset, header, sizeof header))
        return false;
    dir->named = Le16(header + 12);
    uint32_t count = dir->named + Le16(header + 14);
    dir->entries.resize(count * 8);
    return count > 0 &&
           ReadResource(image, offset + 16, dir->entries.data(), static_cast<uint32_t>(count * 8));
}

static uint32_t EntryId(const Directory &dir, size_t i) {
    return Le32(dir.entries.data() + 8 * i);
}

static uint32_t EntryTarget(const Directory &dir, size_t i) {
    return Le32(dir.entries.data() + 8 * i + 4);
}

// The offset of the subdirectory that the type entry for RT_VERSION names.
static bool FindVersionType(const PeImage &image, uint32_t *offset) {
    Directory root;
    if (!ReadDirectory(image, 0, &root))
        return false;
    for (size_t i = root.named; i < root.entries.size() / 8; i++) {
        if (EntryId(root, i) == kVersionType && (EntryTarget(root, i) & kSubdirectory)) {
            *offset = EntryTarget(root, i) & ~kSubdirectory;
            return true;
        }
    }
    return false;
}

// The first entry's target, which must be a subdirectory or must not be.
static bool FirstTarget(const PeImage &image, uint32_t offset, bool subdirectory,
                        uint32_t *target) {
    Directory dir;
    if (!ReadDirectory(image, offset, &dir))
        return false;
    uint32_t first = EntryTarget(dir, 0);
    if (((first & kSubdirectory) != 0) != subdirectory)
        return false;
    *target = first & ~kSubdirectory;
    return true;
}

bool FindVersionResource(const PeImage &image, FileSpan *span) {
    uint32_t names = 0, languages = 0, dataEntry = 0;
    if (image.resourceRva == 0 || !FindVersionType(image, &names) ||
        !FirstTarget(image, names, true, &languages) ||
        !FirstTarget(image, languages, false, &dataEntry))
        return false;
    uint8_t entry[16];
    if (!ReadResource(image, dataEntry, entry, sizeof entry))
        return false;
    span->size = Le32(entry + 4);
    return MapRva(image, Le32(entry), span->size, &span->offset);
}
