// Version information with the Windows contracts, read from the file's
// RT_VERSION resource.  GetFileVersionInfoA fills the caller's buffer with
// a block of our own layout: a header that tells the block's size, the
// resource as the file holds it, then a narrow copy of every text value.
// The copies are made up front so that VerQueryValueA only ever reads, and
// only inside the bounds that the header states and it checks first.
#include "platform/platform.h"

#include "image.h"
#include "platform/posix/confine.h"
#include "text.h"
#include "versiontree.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace {

struct BlockHeader {
    char magic[4];
    uint32_t total;        // header, resource and narrow copies
    uint32_t rawSize;      // the resource bytes that follow the header
    uint32_t narrowOffset; // from the block's start
};

constexpr char kMagic[4] = {'d', 'V', 'I', '1'};

// Narrow bytes that no text value covers.  Not zero: a text whose count
// leaves out its terminator is followed by no zero, as on Windows, so a
// caller that reads past the count shows up in tests.
constexpr unsigned char kFiller = 0xFF;

} // namespace

static uint32_t NarrowOffset(uint32_t rawSize) {
    return static_cast<uint32_t>(sizeof(BlockHeader)) + ((rawSize + 3) & ~3u);
}

// The narrow copy of the text at raw offset n sits at narrow offset n / 2.
static uint32_t BlockSize(uint32_t rawSize) {
    return NarrowOffset(rawSize) + (rawSize + 1) / 2;
}

// The root node's wLength bytes, which must fit in the resource's data.
static bool ReadRoot(const PeImage &image, const FileSpan &span, std::vector<uint8_t> *raw) {
    uint8_t head[2];
    if (span.size < 2 || !ReadFileAt(image, span.offset, head, sizeof head))
        return false;
    uint16_t length = Le16(head);
    raw->resize(length);
    VersionNode root;
    return length <= span.size && ReadFileAt(image, span.offset, raw->data(), length) &&
           ReadVersionRoot(raw->data(), raw->size(), &root);
}

// The Win32 code for an errno of a failed open or read of the file.  A
// directory is refused with ERROR_ACCESS_DENIED, as the system refuses to
// open one as a file; a file that changed under the reader is taken for
// one in another's use.
static DWORD FileError(int error) {
    switch (error) {
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
        return ERROR_ACCESS_DENIED;
    case EAGAIN:
        return ERROR_SHARING_VIOLATION;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    default:
        return ERROR_READ_FAULT;
    }
}

// On failure the last error tells a file that could not be read from one
// that holds no version.
static bool ReadVersionResource(LPCSTR fileName, std::vector<uint8_t> *raw) {
    if (fileName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    // Only a regular file is opened: a FIFO or device in the driver's place
    // must read as "no version", neither hang nor be touched.
    TreePlace place;
    if (!FindPlace(fileName, true, &place)) {
        if (!place.refusal.empty())
            EndRefused(fileName, place);
        SetLastError(place.error == ENOENT ? ERROR_PATH_NOT_FOUND : FileError(place.error));
        return false;
    }
    int fd = OpenRegularFile(place);
    if (fd < 0) {
        SetLastError(errno == EINVAL ? ERROR_RESOURCE_DATA_NOT_FOUND : FileError(errno));
        return false;
    }
    PeImage image;
    FileSpan span;
    bool ok =
        ReadPeImage(fd, &image) && FindVersionResource(image, &span) && ReadRoot(image, span, raw);
    close(fd);
    SetLastError(ok                ? ERROR_SUCCESS
                 : image.readError ? FileError(image.readError)
                                   : ERROR_RESOURCE_DATA_NOT_FOUND);
    return ok;
}

DWORD GetFileVersionInfoSizeA(LPCSTR fileName, LPDWORD handle) {
    if (handle != nullptr)
        *handle = 0;
    std::vector<uint8_t> raw;
    if (!ReadVersionResource(fileName, &raw))
        return 0;
    return BlockSize(static_cast<uint32_t>(raw.size()));
}

static void WriteNarrowCopies(uint8_t *block, const BlockHeader &header) {
    const uint8_t *raw = block + sizeof header;
    char *narrow = reinterpret_cast<char *>(block + header.narrowOffset);
    memset(narrow, kFiller, header.total - header.narrowOffset);
    ForEachVersionNode(raw, header.rawSize, [&](const VersionNode &node) {
        if (node.text)
            NarrowText(raw + node.valueOffset, node.valueLength, narrow + node.valueOffset / 2);
    });
}

BOOL GetFileVersionInfoA(LPCSTR fileName, DWORD /*handle*/, DWORD size, LPVOID data) {
    std::vector<uint8_t> raw;
    if (data == nullptr || !ReadVersionResource(fileName, &raw))
        return 0;
    uint32_t rawSize = static_cast<uint32_t>(raw.size());
    if (size < BlockSize(rawSize))
        return 0;
    BlockHeader header;
    memcpy(header.magic, kMagic, sizeof kMagic);
    header.total = BlockSize(rawSize);
    header.rawSize = rawSize;
    header.narrowOffset = NarrowOffset(rawSize);
    uint8_t *block = static_cast<uint8_t *>(data);
    memcpy(block, &header, sizeof header);
    memcpy(block + sizeof header, raw.data(), rawSize);
    WriteNarrowCopies(block, header);
    return 1;
}

// The header of a block that GetFileVersionInfoA filled, checked so that
// nothing it states leads outside the block.
static bool ReadBlockHeader(LPCVOID block, BlockHeader *header) {
    memcpy(header, block, sizeof *header);
    return memcmp(header->magic, kMagic, sizeof kMagic) == 0 && header->rawSize <= 0xFFFF &&
           header->narrowOffset == NarrowOffset(header->rawSize) &&
           header->total == BlockSize(header->rawSize);
}

BOOL VerQueryValueA(LPCVOID block, LPCSTR subBlock, LPVOID *buffer, PUINT length) {
    BlockHeader header;
    if (block == nullptr || subBlock == nullptr || buffer == nullptr ||
        !ReadBlockHeader(block, &header))
        return 0;
    const uint8_t *base = static_cast<const uint8_t *>(block);
    const uint8_t *raw = base + sizeof header;
    VersionNode node;
    if (!FindVersionNode(raw, header.rawSize, subBlock, &node))
        return 0;
    const uint8_t *value = raw + node.valueOffset;
    if (node.text)
        value = base + header.narrowOffset + node.valueOffset / 2;
    *buffer = const_cast<uint8_t *>(value);
    if (length != nullptr)
        *length = node.valueLength;
    return 1;
}
