// The on-disk layout of a registry hive file, as far as this backend reads
// it itself: the 4096-byte base block, the bins and the cells, checked
// before the editor (cells.h, node.h) follows a single link in them.
#ifndef DRVINST_POSIX_HIVE_FILE_H
#define DRVINST_POSIX_HIVE_FILE_H

#include "platform/posix/winapi.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr size_t kBaseBlockSize = 4096;
constexpr size_t kBinAlignment = 4096;
constexpr size_t kBinHeaderSize = 0x20;
constexpr size_t kMinimumHiveSize = kBaseBlockSize + kBinAlignment;
// Windows loads no SYSTEM hive above 1.5 GB (half the memory of a 64-bit
// machine, at most that), so a larger file is no hive of ours.
constexpr uint64_t kLargestHive = 1536ull << 20;
// Room past the bins that the base block declares: a file that holds much
// more (a sparse file of gigabytes behind a small hive) is refused before
// it is read, since replay and the whole-file commit would read and write
// it whole.
constexpr uint64_t kHiveSlack = 16ull << 20;

// Offsets within the base block.
constexpr size_t kSequence1Offset = 0x04;
constexpr size_t kSequence2Offset = 0x08;
constexpr size_t kTimestampOffset = 0x0C;
constexpr size_t kMajorVersionOffset = 0x14;
constexpr size_t kMinorVersionOffset = 0x18;
constexpr size_t kFileTypeOffset = 0x1C;
constexpr size_t kFileFormatOffset = 0x20;
constexpr size_t kRootCellOffset = 0x24;
constexpr size_t kBinsSizeOffset = 0x28;
constexpr size_t kClusteringOffset = 0x2C;
constexpr size_t kChecksumOffset = 0x1FC;

// A key node cell: the size word, then a fixed header of 0x4C bytes in
// front of the name.
constexpr size_t kKeyCellHeaderSize = 4 + 0x4C;

inline uint32_t ReadLe32(const uint8_t *p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline uint16_t ReadLe16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline void WriteLe16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

inline void WriteLe32(uint8_t *p, uint32_t v) {
    WriteLe16(p, static_cast<uint16_t>(v));
    WriteLe16(p + 2, static_cast<uint16_t>(v >> 16));
}

inline void WriteLe64(uint8_t *p, uint64_t v) {
    WriteLe32(p, static_cast<uint32_t>(v));
    WriteLe32(p + 4, static_cast<uint32_t>(v >> 32));
}

// Reads size bytes at offset, retrying after signals; a short file is EIO.
bool ReadAt(int fd, uint64_t offset, uint8_t *buffer, size_t size);

// The checksum the base block must carry: the XOR of its first 127
// little-endian words, except that a sum of 0 is kept as 1 and one of
// 0xFFFFFFFF as 0xFFFFFFFE.  Every reader and writer goes through it.
uint32_t BaseBlockChecksum(const uint8_t *baseBlock);

// Where the free cells and the bins are, as the structure check finds
// them on its way (offset and size, from the first bin), so that whoever
// edits the hive next need not walk it again.
struct HiveFreeSpace {
    std::vector<std::pair<uint32_t, uint32_t>> cells;
    std::vector<std::pair<uint32_t, uint32_t>> bins;
};

// Checks that the open file is a hive that can safely be edited and later
// written back: a consistent base block that needs no log
// replay, a first hive bin where it belongs, a root key cell inside the
// bins, and the structure CheckHiveStructure checks.  Returns
// ERROR_SUCCESS, or a Win32 code with the reason in *problem.
LONG CheckHiveFile(int fd, uint64_t fileSize, std::string *problem, HiveFreeSpace *space = nullptr);

struct HiveCheckOptions {
    // Also what matters to Windows but not to the editor: the base block's
    // checksum and version, the order of subkey lists and the hints they
    // keep (for names in ASCII), large values kept in segments, and
    // reference counts of security cells that equal the keys naming them
    // rather than merely cover them.
    bool strict = false;
    size_t mostProblems = 1; // the walk stops once it has found this many
};

struct HiveStructureReport {
    std::vector<std::string> problems; // empty when the hive is sound
    size_t keys = 0;                   // reached from the root
    size_t values = 0;
    size_t securityCells = 0;
    HiveFreeSpace space;
};

// Walks a whole hive image: bins and the cells that tile them, then every
// key reachable from the root with its subkey list, values, class and
// security cell, and the ring of security cells with their reference
// counts.  Every offset is checked before it is followed.
HiveStructureReport CheckHiveStructure(const uint8_t *image, size_t size,
                                       const HiveCheckOptions &options);

#endif
