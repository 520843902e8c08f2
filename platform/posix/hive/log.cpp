// New-format logs (Windows 8.1 and later), and what both formats share.
#include "log.h"

#include "file.h"
#include "logapply.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

uint32_t Rotate(uint32_t v, int bits) {
    return (v << bits) | (v >> (32 - bits));
}

void MarvinMix(uint32_t &lo, uint32_t &hi) {
    hi ^= lo;
    lo = Rotate(lo, 20) + hi;
    hi = Rotate(hi, 9) ^ lo;
    lo = Rotate(lo, 27) + hi;
    hi = Rotate(hi, 19);
}

uint64_t ReadLe64(const uint8_t *p) {
    return ReadLe32(p) | static_cast<uint64_t>(ReadLe32(p + 4)) << 32;
}

// The fields an entry header keeps, after its signature.
constexpr size_t kEntrySize = 4;
constexpr size_t kEntryFlags = 8;
constexpr size_t kEntrySequence = 12;
constexpr size_t kEntryBins = 16;
constexpr size_t kEntryPages = 20;
constexpr size_t kEntryHash1 = 24;
constexpr size_t kEntryHash2 = 32;

// Checks one entry at offset: false when it is not a sound one.
bool ReadEntry(const uint8_t *log, size_t size, size_t offset, LogEntry *entry) {
    if (size - offset < kLogEntryHeaderSize || memcmp(log + offset, "HvLE", 4) != 0)
        return false;
    const uint8_t *at = log + offset;
    entry->offset = offset;
    entry->size = ReadLe32(at + kEntrySize);
    entry->flags = ReadLe32(at + kEntryFlags);
    entry->sequence = ReadLe32(at + kEntrySequence);
    entry->bins = ReadLe32(at + kEntryBins);
    entry->pages = ReadLe32(at + kEntryPages);
    if (entry->size < kLogEntryHeaderSize || entry->size % kLogSector != 0 ||
        entry->size > size - offset || entry->bins == 0 || entry->bins % kBinAlignment != 0 ||
        entry->bins > kMostBins)
        return false;
    uint64_t used = kLogEntryHeaderSize + uint64_t{8} * entry->pages;
    if (used > entry->size)
        return false;
    for (uint32_t i = 0; i < entry->pages; i++) {
        const uint8_t *reference = at + kLogEntryHeaderSize + 8 * i;
        uint64_t page = ReadLe32(reference), length = ReadLe32(reference + 4);
        used += length;
        if (length == 0 || page % kLogSector != 0 || length % kLogSector != 0 ||
            page + length > entry->bins || used > entry->size)
            return false;
    }
    return Marvin32(at + kLogEntryHeaderSize, entry->size - kLogEntryHeaderSize, kLogEntrySeed) ==
               ReadLe64(at + kEntryHash1) &&
           Marvin32(at, kEntryHash2, kLogEntrySeed) == ReadLe64(at + kEntryHash2);
}

struct SortedLog {
    const HiveLog *log;
    uint32_t sequence;
    std::vector<LogEntry> entries;
};

// Applies one entry, unless its pages would break the bins; grows the
// image to the bins size the entry records.
bool ApplyEntry(const HiveLog &log, const LogEntry &entry, uint64_t mostBins,
                std::vector<uint8_t> *image) {
    if (entry.bins > mostBins)
        return false;
    const uint8_t *at = log.bytes.data() + entry.offset;
    const uint8_t *data = at + kLogEntryHeaderSize + 8 * entry.pages;
    for (uint32_t i = 0, skip = 0; i < entry.pages; i++) {
        const uint8_t *reference = at + kLogEntryHeaderSize + 8 * i;
        if (!PagesKeepBins(data + skip, ReadLe32(reference), ReadLe32(reference + 4), entry.bins))
            return false;
        skip += ReadLe32(reference + 4);
    }
    if (image->size() < kBaseBlockSize + entry.bins)
        image->resize(kBaseBlockSize + entry.bins, 0);
    for (uint32_t i = 0; i < entry.pages; i++) {
        const uint8_t *reference = at + kLogEntryHeaderSize + 8 * i;
        uint32_t length = ReadLe32(reference + 4);
        memcpy(image->data() + kBaseBlockSize + ReadLe32(reference), data, length);
        data += length;
    }
    WriteLe32(image->data() + kBinsSizeOffset, entry.bins);
    WriteLe32(image->data() + kBaseFlagsOffset, entry.flags);
    return true;
}

std::string Describe(const char *format, uint32_t a, uint32_t b) {
    char line[200];
    snprintf(line, sizeof line, format, a, b);
    return line;
}

// Sequence numbers wrap around; of two numbers less than half the range
// apart, the one reached by counting on from the other is the later.
int32_t After(uint32_t a, uint32_t b) {
    return static_cast<int32_t>(a - b);
}

// From the earliest log entry at or past the hive's secondary sequence
// number on, every entry of both logs in order, while the numbers run on.
// The earliest entry may lie well past that number: after two rotations
// of the logs the system may have written part of the data to the primary
// without touching its base block, and replaying all that is left, from
// the earliest entry, is what brings the hive back together.
void RecoverFromEntries(const std::vector<HiveLog> &logs, std::vector<uint8_t> &primary,
                        bool primarySound, uint64_t mostBins, HiveRecovery *out) {
    std::vector<SortedLog> sorted;
    for (const HiveLog &log : logs) {
        if (LogBaseBlockType(log) == kNewLogFile)
            sorted.push_back({&log, ReadLe32(log.bytes.data() + kSequence2Offset),
                              ReadLogEntries(log.bytes.data(), log.bytes.size())});
    }
    // A damaged primary takes the base block of the log with the latest
    // entries, as the system does: an older log beside it (one the system
    // left from before the last rotation) would put stale pages over
    // newer data.
    const SortedLog *latest = &sorted.front();
    for (const SortedLog &log : sorted)
        if (!log.entries.empty() &&
            (latest->entries.empty() || After(log.sequence, latest->sequence) > 0))
            latest = &log;
    const HiveLog *startLog = latest->log;
    const uint8_t *base = primarySound ? primary.data() : startLog->bytes.data();
    uint32_t first = ReadLe32(base + kSequence2Offset);
    uint32_t started = ReadLe32(base + kSequence1Offset);
    std::stable_sort(sorted.begin(), sorted.end(), [first](const SortedLog &a, const SortedLog &b) {
        return After(a.sequence, first) < After(b.sequence, first);
    });
    uint32_t last = 0;
    bool stopped = false;
    for (const SortedLog &log : sorted) {
        for (const LogEntry &entry : log.entries) {
            if (stopped || After(entry.sequence, first) < 0)
                continue;
            if (out->applied == 0)
                out->image = StartImage(primary, primarySound, *startLog);
            else if (entry.sequence != last + 1)
                stopped = true;
            if (stopped || !ApplyEntry(*log.log, entry, mostBins, &out->image)) {
                stopped = true;
                continue;
            }
            if (out->used.empty() || out->used.back() != log.log->name)
                out->used.push_back(log.log->name);
            out->applied++;
            last = entry.sequence;
        }
    }
    if (out->applied == 0) {
        out->image.clear();
        out->problem = "no entry of its transaction logs continues the hive (it expects entry " +
                       std::to_string(first) + "); the hive cannot be recovered";
        return;
    }
    // A writer that had begun to bring the primary up to an entry we could
    // not reach may have left it half way there.
    if (primarySound && After(started, first) > 0 && After(started, last + 1) > 0) {
        out->image.clear();
        out->problem = Describe("its transaction logs stop after entry %u, short of entry %u "
                                "that the hive needs; the hive cannot be recovered",
                                last, started - 1);
        return;
    }
    SealRecovered(last + 1, &out->image);
}

} // namespace

bool PagesKeepBins(const uint8_t *data, uint32_t page, uint32_t length, uint32_t bins) {
    uint32_t first = (page + kBinAlignment - 1) / kBinAlignment * kBinAlignment - page;
    for (uint32_t at = first; at < length && length - at >= kBinHeaderSize; at += kBinAlignment) {
        uint32_t offset = page + at;
        const uint8_t *header = data + at;
        bool isBin = memcmp(header, "hbin", 4) == 0;
        if (offset == 0 && !isBin)
            return false;
        uint32_t size = ReadLe32(header + 8);
        if (isBin && (ReadLe32(header + 4) != offset || size == 0 || size % kBinAlignment != 0 ||
                      size > bins - offset))
            return false;
    }
    return true;
}

bool LogBaseBlockSound(const uint8_t *log) {
    return memcmp(log, "regf", 4) == 0 &&
           BaseBlockChecksum(log) == ReadLe32(log + kChecksumOffset) &&
           ReadLe32(log + kSequence1Offset) == ReadLe32(log + kSequence2Offset) &&
           ReadLe32(log + kMajorVersionOffset) == 1 && ReadLe32(log + kFileFormatOffset) == 1;
}

uint32_t LogBaseBlockType(const HiveLog &log) {
    if (log.bytes.size() < kLogSector || !LogBaseBlockSound(log.bytes.data()))
        return 0;
    uint32_t type = ReadLe32(log.bytes.data() + kFileTypeOffset);
    return type == kOldLogFile || type == kNewLogFile ? type : 0;
}

std::vector<uint8_t> StartImage(std::vector<uint8_t> &primary, bool primarySound,
                                const HiveLog &log) {
    std::vector<uint8_t> image = std::move(primary);
    if (!primarySound) {
        memcpy(image.data(), log.bytes.data(), kLogSector);
        WriteLe32(image.data() + kFileTypeOffset, kPrimaryFile);
    }
    return image;
}

void SealRecovered(uint32_t sequence, std::vector<uint8_t> *image) {
    uint8_t *base = image->data();
    WriteLe32(base + kSequence1Offset, sequence);
    WriteLe32(base + kSequence2Offset, sequence);
    WriteLe32(base + kFileTypeOffset, kPrimaryFile);
    image->resize(kBaseBlockSize + ReadLe32(base + kBinsSizeOffset), 0);
    base = image->data();
    WriteLe32(base + kChecksumOffset, BaseBlockChecksum(base));
}

uint64_t Marvin32(const uint8_t *data, size_t size, uint64_t seed) {
    uint32_t lo = static_cast<uint32_t>(seed), hi = static_cast<uint32_t>(seed >> 32);
    for (; size >= 4; data += 4, size -= 4) {
        lo += ReadLe32(data);
        MarvinMix(lo, hi);
    }
    uint32_t last = 0x80;
    for (size_t i = size; i > 0; i--)
        last = (last << 8) | data[i - 1];
    lo += last;
    MarvinMix(lo, hi);
    MarvinMix(lo, hi);
    return static_cast<uint64_t>(hi) << 32 | lo;
}

std::vector<LogEntry> ReadLogEntries(const uint8_t *log, size_t size) {
    std::vector<LogEntry> entries;
    if (size < kLogSector || !LogBaseBlockSound(log))
        return entries;
    uint32_t expected = ReadLe32(log + kSequence2Offset);
    LogEntry entry;
    for (size_t offset = kLogSector; offset < size && ReadEntry(log, size, offset, &entry);
         offset += entry.size) {
        if (entry.sequence != expected)
            break;
        entries.push_back(entry);
        expected++;
    }
    return entries;
}

bool HiveIsDirty(const uint8_t *primary, size_t size) {
    if (size < kBaseBlockSize || memcmp(primary, "regf", 4) != 0)
        return false;
    return BaseBlockChecksum(primary) != ReadLe32(primary + kChecksumOffset) ||
           ReadLe32(primary + kSequence1Offset) != ReadLe32(primary + kSequence2Offset);
}

HiveRecovery RecoverHive(std::vector<uint8_t> primary, const std::vector<HiveLog> &logs) {
    HiveRecovery out;
    const uint8_t *base = primary.data();
    bool sound = BaseBlockChecksum(base) == ReadLe32(base + kChecksumOffset);
    // Bins past the primary's can only come from pages in the logs, which
    // bounds what a damaged entry can make this allocate.
    uint64_t mostBins = primary.size();
    bool anyLog = false, anyNew = false, anyOld = false;
    for (const HiveLog &log : logs) {
        mostBins += log.bytes.size();
        anyLog = anyLog || !log.bytes.empty();
        anyNew = anyNew || LogBaseBlockType(log) == kNewLogFile;
        anyOld = anyOld || LogBaseBlockType(log) == kOldLogFile;
    }
    if (anyNew)
        RecoverFromEntries(logs, primary, sound, mostBins, &out);
    else if (anyOld)
        RecoverFromDirtyPages(logs, primary, sound, mostBins, &out);
    else if (anyLog)
        out.problem = "its transaction logs are damaged or belong to another hive; the hive "
                      "cannot be recovered";
    else
        out.problem = std::string(sound ? "hive needs its transaction log replayed"
                                        : "base block checksum does not match") +
                      ", and there is no transaction log to recover it from";
    return out;
}
