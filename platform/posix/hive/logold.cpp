// Old-format logs (Windows XP to 8): a bitmap of the hive's dirty 512-byte
// pages after the base block, then those pages in order.  Such a log is
// written whole before the primary, so it can hold the primary's next state
// only when its base block is as recent as the primary's: the same
// last-written timestamp, or a later one (a primary whose base block is
// damaged has only its first bin's older copy).  A log older than the
// primary is refused, as the system refuses it.  Of two that qualify, the
// later one (by sequence number) is the one the system was writing last.
#include "file.h"
#include "logapply.h"

#include <cstring>

namespace {

constexpr size_t kDirtyPage = 512;
constexpr size_t kFirstBinTimestamp = kBaseBlockSize + 0x14;

uint64_t ReadLe64(const uint8_t *p) {
    return ReadLe32(p) | static_cast<uint64_t>(ReadLe32(p + 4)) << 32;
}

// The primary's last-written timestamp; a damaged base block leaves the
// copy in the first bin's header.
uint64_t PrimaryTimestamp(const std::vector<uint8_t> &primary, bool primarySound) {
    if (primarySound)
        return ReadLe64(primary.data() + kTimestampOffset);
    if (primary.size() < kFirstBinTimestamp + 8)
        return 0;
    return ReadLe64(primary.data() + kFirstBinTimestamp);
}

const HiveLog *MatchingLog(const std::vector<HiveLog> &logs, uint64_t timestamp) {
    const HiveLog *best = nullptr;
    for (const HiveLog &log : logs) {
        if (LogBaseBlockType(log) != kOldLogFile ||
            ReadLe64(log.bytes.data() + kTimestampOffset) < timestamp)
            continue;
        if (best == nullptr || ReadLe32(log.bytes.data() + kSequence1Offset) >
                                   ReadLe32(best->bytes.data() + kSequence1Offset))
            best = &log;
    }
    return best;
}

// Applies the pages of each run of set bits, each run checked for the bins
// it brings first.  The whole log was written before the primary was
// touched, so only all of it makes a consistent hive: false when a run
// would break the bins or the log does not hold it whole.
bool ApplyDirtyPages(const HiveLog &log, size_t bitmap, size_t pages, uint32_t bins,
                     std::vector<uint8_t> *image, size_t *applied) {
    const std::vector<uint8_t> &bytes = log.bytes;
    size_t next = pages;
    for (uint32_t page = 0; page < bins / kDirtyPage;) {
        if (!(bytes[bitmap + page / 8] >> (page % 8) & 1)) {
            page++;
            continue;
        }
        uint32_t end = page;
        while (end < bins / kDirtyPage && bytes[bitmap + end / 8] >> (end % 8) & 1)
            end++;
        size_t length = size_t{end - page} * kDirtyPage;
        if (next > bytes.size() || length > bytes.size() - next ||
            !PagesKeepBins(&bytes[next], page * kDirtyPage, static_cast<uint32_t>(length), bins))
            return false;
        memcpy(image->data() + kBaseBlockSize + page * kDirtyPage, &bytes[next], length);
        next += length;
        *applied += end - page;
        page = end;
    }
    return true;
}

} // namespace

void RecoverFromDirtyPages(const std::vector<HiveLog> &logs, std::vector<uint8_t> &primary,
                           bool primarySound, uint64_t mostBins, HiveRecovery *out) {
    out->oldFormat = true;
    const HiveLog *log = MatchingLog(logs, PrimaryTimestamp(primary, primarySound));
    if (log == nullptr) {
        out->problem = "no transaction log is as recent as the hive's last-written time, so none "
                       "belongs to it; the hive cannot be recovered";
        return;
    }
    const uint8_t *base = log->bytes.data();
    uint32_t bins = ReadLe32(base + kBinsSizeOffset);
    uint32_t clustering = ReadLe32(base + kClusteringOffset);
    size_t sector = kLogSector * (clustering == 0 ? 1 : clustering);
    size_t vector = (bins / kDirtyPage + 7) / 8;
    if (bins == 0 || bins % kBinAlignment != 0 || bins > mostBins || bins > kMostBins ||
        clustering > 8 || log->bytes.size() < sector + 4 + vector ||
        memcmp(base + sector, "DIRT", 4) != 0) {
        out->problem = "its transaction log " + log->name +
                       " has no sound list of dirty pages; the hive cannot be recovered";
        return;
    }
    size_t pages = (sector + 4 + vector + sector - 1) / sector * sector;
    uint32_t sequence = ReadLe32(base + kSequence1Offset);
    for (size_t field : {kSequence1Offset, kSequence2Offset})
        if (primarySound && ReadLe32(primary.data() + field) > sequence)
            sequence = ReadLe32(primary.data() + field);
    out->image = StartImage(primary, primarySound, *log);
    if (out->image.size() < kBaseBlockSize + bins)
        out->image.resize(kBaseBlockSize + bins, 0);
    WriteLe32(out->image.data() + kBinsSizeOffset, bins);
    if (!ApplyDirtyPages(*log, sector + 4, pages, bins, &out->image, &out->applied)) {
        out->image.clear();
        out->problem = "its transaction log " + log->name +
                       " holds dirty pages that cannot be applied; the hive cannot be recovered";
        return;
    }
    out->used.push_back(log->name);
    SealRecovered(sequence + 1, &out->image);
}
