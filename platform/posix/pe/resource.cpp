// The walk from the resource root to the version resource's data: type,
// then name, then language, then the data entry, each step as Windows'
// loader takes it, so that both builds find the same resource or none.
#include "image.h"

namespace {

constexpr uint32_t kSubdirectory = 0x80000000u;
constexpr uint16_t kVersionType = 16;
constexpr uint16_t kVersionName = 1; // the only name the loader asks for

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

// The low 16 bits of an ID entry's name: all the loader compares.
static uint16_t EntryId(const Directory &dir, size_t i) {
    return Le16(dir.entries.data() + 8 * i);
}

static uint32_t EntryTarget(const Directory &dir, size_t i) {
    return Le32(dir.entries.data() + 8 * i + 4);
}

// The target without its kind bit, when it is of the kind wanted.
static bool TargetOfKind(uint32_t target, bool subdirectory, uint32_t *out) {
    if (((target & kSubdirectory) != 0) != subdirectory)
        return false;
    *out = target & ~kSubdirectory;
    return true;
}

// The target of the ID entry id, looked for as Windows' loader looks: by
// halving among the ID entries, which the format keeps sorted, so that an
// unsorted directory hides the same entries from us as from Windows.  An
// entry of the wrong kind counts as absent.
static bool FindId(const Directory &dir, uint16_t id, bool subdirectory, uint32_t *target) {
    long low = dir.named, high = static_cast<long>(dir.entries.size() / 8) - 1;
    while (low <= high) {
        long middle = (low + high) / 2;
        uint16_t found = EntryId(dir, static_cast<size_t>(middle));
        if (found == id)
            return TargetOfKind(EntryTarget(dir, static_cast<size_t>(middle)), subdirectory,
                                target);
        if (found > id)
            high = middle - 1;
        else
            low = middle + 1;
    }
    return false;
}

static bool FindIdAt(const PeImage &image, uint32_t offset, uint16_t id, uint32_t *target) {
    Directory dir;
    return ReadDirectory(image, offset, &dir) && FindId(dir, id, true, target);
}

// The language Windows' loader picks for a neutral request: language
// neutral, then the thread's language, the user's and the system's, these
// two also with a neutral sublanguage, then US English, and failing all of
// them the first entry that holds data.  A tree offline has no running
// locale; US English stands for all three, as it is the language of the
// only string table the tool reads.
static bool FindLanguage(const PeImage &image, uint32_t offset, uint32_t *target) {
    Directory dir;
    if (!ReadDirectory(image, offset, &dir))
        return false;
    for (uint16_t language : {0x0000, 0x0409, 0x0009})
        if (FindId(dir, language, false, target))
            return true;
    for (size_t i = 0; i < dir.entries.size() / 8; i++)
        if (TargetOfKind(EntryTarget(dir, i), false, target))
            return true;
    return false;
}

bool FindVersionResource(const PeImage &image, FileSpan *span) {
    uint32_t names = 0, languages = 0, dataEntry = 0;
    if (image.resourceRva == 0 || !FindIdAt(image, 0, kVersionType, &names) ||
        !FindIdAt(image, names, kVersionName, &languages) ||
        !FindLanguage(image, languages, &dataEntry))
        return false;
    uint8_t entry[16];
    if (!ReadResource(image, dataEntry, entry, sizeof entry))
        return false;
    span->size = Le32(entry + 4);
    return MapRva(image, Le32(entry), span->size, &span->offset);
}
