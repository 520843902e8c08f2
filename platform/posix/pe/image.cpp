#include "image.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

uint16_t Le16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

uint32_t Le32(const uint8_t *p) {
    return static_cast<uint32_t>(Le16(p)) | static_cast<uint32_t>(Le16(p + 2)) << 16;
}

bool ReadFileAt(const PeImage &image, uint64_t offset, void *out, size_t length) {
    if (offset > image.fileSize || length > image.fileSize - offset)
        return false;
    char *to = static_cast<char *>(out);
    while (length > 0) {
        ssize_t got = pread(image.fd, to, length, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            // The size was checked first, so an end of file here means the
            // file shrank under us: it is not the file that was measured.
            image.readError = got < 0 ? errno : EAGAIN;
            return false;
        }
        to += got;
        offset += static_cast<uint64_t>(got);
        length -= static_cast<size_t>(got);
    }
    return true;
}

bool MapRva(const PeImage &image, uint32_t rva, uint32_t length, uint64_t *offset) {
    for (const PeSection &s : image.sections) {
        if (rva < s.rva || rva - s.rva >= s.rawSize)
            continue;
        uint64_t within = rva - s.rva;
        if (within + length > s.rawSize)
            return false;
        uint64_t at = s.rawOffset + within;
        if (at + length > image.fileSize)
            return false;
        *offset = at;
        return true;
    }
    return false;
}

// The resource directory's RVA from the data directories, or 0 when the
// optional header lists none; false when it is no PE32 or PE32+ header.
static bool ReadOptionalHeader(PeImage *image, uint64_t at, uint16_t size) {
    uint8_t header[240] = {};
    size_t length = size < sizeof header ? size : sizeof header;
    if (length < 2 || !ReadFileAt(*image, at, header, length))
        return false;
    uint16_t magic = Le16(header);
    if (magic != 0x10B && magic != 0x20B)
        return false;
    size_t directories = magic == 0x10B ? 96 : 112;
    const size_t resourceEntry = directories + 2 * 8;
    image->resourceRva = 0;
    if (length >= resourceEntry + 8 && Le32(header + directories - 4) > 2)
        image->resourceRva = Le32(header + resourceEntry);
    return true;
}

static bool ReadSections(PeImage *image, uint64_t at, uint16_t count) {
    std::vector<uint8_t> table(static_cast<size_t>(count) * 40);
    if (!ReadFileAt(*image, at, table.data(), table.size()))
        return false;
    image->sections.clear();
    for (size_t i = 0; i < count; i++) {
        const uint8_t *entry = table.data() + 40 * i;
        image->sections.push_back(PeSection{Le32(entry + 12), Le32(entry + 16), Le32(entry + 20)});
    }
    return true;
}

bool ReadPeImage(int fd, PeImage *image) {
    struct stat st;
    if (fstat(fd, &st) != 0) {
        image->readError = errno;
        return false;
    }
    if (!S_ISREG(st.st_mode))
        return false;
    image->fd = fd;
    image->fileSize = static_cast<uint64_t>(st.st_size);
    uint8_t dos[64];
    if (!ReadFileAt(*image, 0, dos, sizeof dos) || dos[0] != 'M' || dos[1] != 'Z')
        return false;
    uint64_t pe = Le32(dos + 0x3C);
    uint8_t coff[24];
    if (!ReadFileAt(*image, pe, coff, sizeof coff) || Le32(coff) != 0x00004550)
        return false;
    uint16_t optionalSize = Le16(coff + 20);
    return ReadOptionalHeader(image, pe + 24, optionalSize) &&
           ReadSections(image, pe + 24 + optionalSize, Le16(coff + 6));
}
