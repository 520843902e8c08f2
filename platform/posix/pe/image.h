// Just enough of the PE format to find a file's version resource.  Every
// offset and size read from the file is untrusted: a read that would leave
// the file, or the raw data of the section it falls in, fails instead.
#ifndef DRVINST_POSIX_PE_IMAGE_H
#define DRVINST_POSIX_PE_IMAGE_H

#include <cstddef>
#include <cstdint>
#include <vector>

struct PeSection {
    uint32_t rva;
    uint32_t rawSize;
    uint32_t rawOffset;
};

struct PeImage {
    int fd;
    uint64_t fileSize;
    std::vector<PeSection> sections;
    uint32_t resourceRva; // 0 when the image has no resource directory
    // The errno of a read that failed, kept apart from a read outside the
    // file, which only the file's own offsets can ask for.
    mutable int readError = 0;
};

// Where a resource's data lies in the file.
struct FileSpan {
    uint64_t offset;
    uint32_t size;
};

// Reads length bytes at offset; false on a short read or an error, which
// is kept in image.readError.
bool ReadFileAt(const PeImage &image, uint64_t offset, void *out, size_t length);

// Reads the headers and section table of the PE file open at fd; false
// when the file is not a PE32 or PE32+ image or could not be read.
bool ReadPeImage(int fd, PeImage *image);

// The file offset of the length bytes at rva, all inside one section's
// raw data and inside the file; false otherwise.
bool MapRva(const PeImage &image, uint32_t rva, uint32_t length, uint64_t *offset);

// The data of the RT_VERSION resource named 1, in the language Windows
// would choose.  False when there is none or the directory leads astray.
bool FindVersionResource(const PeImage &image, FileSpan *span);

// Little-endian fields, read from bytes that carry no alignment promise.
uint16_t Le16(const uint8_t *p);
uint32_t Le32(const uint8_t *p);

#endif
