#include "file.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

LONG Reject(std::string *problem, const std::string &reason) {
    *problem = reason;
    return ERROR_BADDB;
}

LONG CheckBaseBlock(const uint8_t *base, uint64_t fileSize, std::string *problem) {
    if (memcmp(base, "regf", 4) != 0)
        return Reject(problem, "not a registry hive");
    if (BaseBlockChecksum(base) != ReadLe32(base + kChecksumOffset))
        return Reject(problem, "base block checksum does not match; the hive is damaged");
    if (ReadLe32(base + kSequence1Offset) != ReadLe32(base + kSequence2Offset))
        return Reject(problem, "hive needs its transaction log replayed");
    if (ReadLe32(base + kMajorVersionOffset) != 1 || ReadLe32(base + kFileTypeOffset) != 0 ||
        ReadLe32(base + kFileFormatOffset) != 1)
        return Reject(problem, "unsupported hive version or type");
    uint32_t bins = ReadLe32(base + kBinsSizeOffset);
    if (bins == 0 || bins % kBinAlignment != 0 || bins > fileSize - kBaseBlockSize)
        return Reject(problem, "hive bins do not fit the file; the hive is truncated or damaged");
    if (fileSize - kBaseBlockSize - bins > kHiveSlack)
        return Reject(problem, "file is " + std::to_string(fileSize) +
                                   " bytes, far more than the " +
                                   std::to_string(kBaseBlockSize + bins) +
                                   " its base block declares; the hive is damaged");
    uint32_t root = ReadLe32(base + kRootCellOffset);
    if (root < kBinHeaderSize || root % 8 != 0 || root + kKeyCellHeaderSize > bins)
        return Reject(problem, "root key lies outside the hive bins");
    return ERROR_SUCCESS;
}

LONG CheckFirstBin(const uint8_t *bin, uint32_t bins, std::string *problem) {
    uint32_t size = ReadLe32(bin + 8);
    if (memcmp(bin, "hbin", 4) != 0 || ReadLe32(bin + 4) != 0 || size == 0 ||
        size % kBinAlignment != 0 || size > bins)
        return Reject(problem, "first hive bin is damaged");
    return ERROR_SUCCESS;
}

LONG CheckRootCell(const uint8_t *cell, uint32_t root, uint32_t bins, std::string *problem) {
    int32_t size = static_cast<int32_t>(ReadLe32(cell));
    uint32_t length = size < 0 ? 0u - static_cast<uint32_t>(size) : 0;
    if (length < kKeyCellHeaderSize || length > bins - root || memcmp(cell + 4, "nk", 2) != 0)
        return Reject(problem, "root key cell is damaged");
    return ERROR_SUCCESS;
}

// The whole structure, walked in a read-only mapping of the file: nothing
// the editor could be asked to follow or free may be left unchecked.
LONG CheckStructure(int fd, uint64_t fileSize, std::string *problem, HiveFreeSpace *space) {
    void *image = mmap(nullptr, fileSize, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
    if (image == MAP_FAILED) {
        *problem = std::string("cannot read the hive: ") + strerror(errno);
        return ERROR_CANTREAD;
    }
    HiveStructureReport report =
        CheckHiveStructure(static_cast<const uint8_t *>(image), fileSize, HiveCheckOptions());
    munmap(image, fileSize);
    if (report.problems.empty()) {
        if (space != nullptr)
            *space = std::move(report.space);
        return ERROR_SUCCESS;
    }
    *problem = "hive is damaged: " + report.problems[0];
    return ERROR_BADDB;
}

} // namespace

bool ReadAt(int fd, uint64_t offset, uint8_t *buffer, size_t size) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = pread(fd, buffer + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            errno = EIO;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

uint32_t BaseBlockChecksum(const uint8_t *baseBlock) {
    uint32_t sum = 0;
    for (size_t offset = 0; offset < kChecksumOffset; offset += 4)
        sum ^= ReadLe32(baseBlock + offset);
    // The system never stores these two sums, which a zeroed or an erased
    // sector would match by chance.
    if (sum == 0)
        return 1;
    return sum == 0xFFFFFFFF ? 0xFFFFFFFE : sum;
}

LONG CheckHiveFile(int fd, uint64_t fileSize, std::string *problem, HiveFreeSpace *space) {
    if (fileSize < kMinimumHiveSize)
        return Reject(problem, "file is too short to be a registry hive");
    if (fileSize > kLargestHive)
        return Reject(problem, "file is " + std::to_string(fileSize) +
                                   " bytes, larger than any hive Windows loads");
    uint8_t base[kBaseBlockSize];
    uint8_t bin[kBinHeaderSize];
    if (!ReadAt(fd, 0, base, sizeof base) || !ReadAt(fd, kBaseBlockSize, bin, sizeof bin)) {
        *problem = std::string("cannot read the hive: ") + strerror(errno);
        return ERROR_CANTREAD;
    }
    LONG rc = CheckBaseBlock(base, fileSize, problem);
    uint32_t bins = ReadLe32(base + kBinsSizeOffset);
    if (rc == ERROR_SUCCESS)
        rc = CheckFirstBin(bin, bins, problem);
    if (rc != ERROR_SUCCESS)
        return rc;
    uint32_t root = ReadLe32(base + kRootCellOffset);
    uint8_t cell[kKeyCellHeaderSize];
    if (!ReadAt(fd, kBaseBlockSize + root, cell, sizeof cell))
        return Reject(problem, "root key cell cannot be read");
    rc = CheckRootCell(cell, root, bins, problem);
    return rc != ERROR_SUCCESS ? rc : CheckStructure(fd, fileSize, problem, space);
}
