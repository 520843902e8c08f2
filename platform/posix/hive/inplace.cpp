// Writing the run's changes into the hive file itself, the way the system
// has since Windows 8.1: the changed pages go to a log entry first, then
// into the primary between a dirty mark and a clean one.  A run changes a
// few pages of a hive of any size, so this costs what the change costs,
// where writing the whole image again cost what the hive costs.
//
// The order, each step on disk before the next begins:
//   1. SYSTEM.LOG1 := base block + one entry holding every changed page;
//   2. primary base block: sequence numbers made to differ (dirty);
//   3. the changed pages, in place, the file grown if the bins grew;
//   4. primary base block: the new one, numbers equal again (clean).
// Killed before 2 the primary is clean and old, and nobody reads a log of
// a clean hive; from 2 to 4 it is dirty and its log entry brings it to the
// new state whatever part of 3 is done; after 4 it is clean and new.
//
// Why LOG1 alone, overwritten from its start: the primary is clean when
// step 1 begins (a dirty one is first brought up to its recovered state,
// below), so no entry of any log is needed by anyone, and an entry from
// the start of a fresh log needs nothing that came before it.  The other
// logs are left alone; the entry is numbered past every sound entry they
// hold, and the dirty mark starts replay at that number, so no stale entry
// can be replayed before or after it.
#include "file.h"
#include "image.h"
#include "log.h"
#include "logapply.h"
#include "place.h"
#include "session.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kPage = 4096;
// Where the first bin keeps its copy of the last-written time.
constexpr uint32_t kFirstBinTimestamp = 0x14;
// Past this, sequence numbers would wrap before the commit is done.
constexpr uint32_t kLastSequence = 0xFFFFFFF0u;

bool Fail(std::string *problem, const std::string &what) {
    *problem = what + ": " + strerror(errno != 0 ? errno : EIO);
    return false;
}

bool WriteAll(int fd, const uint8_t *bytes, size_t size, uint64_t offset) {
    while (size > 0) {
        ssize_t n = pwrite(fd, bytes, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes += n;
        size -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return true;
}

// A read-only or shared view of a whole file, for bringing a dirty hive up
// to its recovered image.
struct Mapping {
    uint8_t *bytes = nullptr;
    size_t size = 0;
    ~Mapping() {
        if (bytes != nullptr)
            munmap(bytes, size);
    }
    bool Map(int fd, size_t length, bool writable) {
        size = length;
        // Populated at once: faulting the pages in one by one cost more
        // than the comparison itself.
        void *at = mmap(nullptr, length, writable ? PROT_READ | PROT_WRITE : PROT_READ,
                        MAP_SHARED | MAP_POPULATE, fd, 0);
        bytes = at == MAP_FAILED ? nullptr : static_cast<uint8_t *>(at);
        return bytes != nullptr;
    }
};

// The runs of pages of after's bins that before does not hold alike.
std::vector<HiveSpan> ChangedSpans(const Mapping &before, const uint8_t *after, uint32_t bins) {
    std::vector<HiveSpan> spans;
    for (uint32_t at = 0; at < bins; at += kPage) {
        size_t file = kBaseBlockSize + at;
        if (file + kPage <= before.size && memcmp(before.bytes + file, after + file, kPage) == 0)
            continue;
        if (!spans.empty() && spans.back().offset + spans.back().length == at)
            spans.back().length += kPage;
        else
            spans.push_back({at, kPage});
    }
    return spans;
}

bool WriteSpans(int fd, const uint8_t *image, const std::vector<HiveSpan> &spans) {
    for (const HiveSpan &span : spans)
        if (!WriteAll(fd, image + kBaseBlockSize + span.offset, span.length,
                      kBaseBlockSize + span.offset))
            return false;
    return true;
}

// A log holding one entry numbered sequence: base's first sector marked as
// a new-format log's, then the entry with the spans of image.
std::vector<uint8_t> BuildLog(const uint8_t *base, uint32_t sequence, const uint8_t *image,
                              const std::vector<HiveSpan> &spans) {
    size_t data = kLogEntryHeaderSize + 8 * spans.size();
    for (const HiveSpan &span : spans)
        data += span.length;
    uint32_t size = static_cast<uint32_t>((data + kLogSector - 1) / kLogSector * kLogSector);
    std::vector<uint8_t> log(kLogSector + size, 0);
    uint8_t *head = log.data();
    memcpy(head, base, kLogSector);
    WriteLe32(head + kSequence1Offset, sequence);
    WriteLe32(head + kSequence2Offset, sequence);
    WriteLe32(head + kFileTypeOffset, kNewLogFile);
    WriteLe32(head + kChecksumOffset, BaseBlockChecksum(head));
    uint8_t *entry = head + kLogSector;
    memcpy(entry, "HvLE", 4);
    WriteLe32(entry + 4, size);
    // Only the lowest flag travels with an entry.
    WriteLe32(entry + 8, ReadLe32(image + kBaseFlagsOffset) & 1);
    WriteLe32(entry + 12, sequence);
    WriteLe32(entry + 16, ReadLe32(image + kBinsSizeOffset));
    WriteLe32(entry + 20, static_cast<uint32_t>(spans.size()));
    uint8_t *reference = entry + kLogEntryHeaderSize, *page = reference + 8 * spans.size();
    for (const HiveSpan &span : spans) {
        WriteLe32(reference, span.offset);
        WriteLe32(reference + 4, span.length);
        memcpy(page, image + kBaseBlockSize + span.offset, span.length);
        reference += 8;
        page += span.length;
    }
    // The header's hash covers the data's, so the data's comes first.
    WriteLe64(entry + 24,
              Marvin32(entry + kLogEntryHeaderSize, size - kLogEntryHeaderSize, kLogEntrySeed));
    WriteLe64(entry + 32, Marvin32(entry, 32, kLogEntrySeed));
    return log;
}

// The number of the entry: the primary's, or past every sound entry the
// other logs hold, so that replay can never chain one of those to it.
bool EntrySequence(uint32_t primary, const std::vector<HiveLog> &logs, const std::string &skip,
                   uint32_t *sequence, std::string *problem) {
    *sequence = primary;
    for (const HiveLog &log : logs) {
        if (log.name == skip || LogBaseBlockType(log) != kNewLogFile)
            continue;
        for (const LogEntry &entry : ReadLogEntries(log.bytes.data(), log.bytes.size()))
            *sequence = entry.sequence >= *sequence ? entry.sequence + 1 : *sequence;
    }
    if (*sequence < kLastSequence && *sequence >= primary)
        return true;
    *problem = "its sequence numbers have run out; the hive is unchanged";
    return false;
}

// LOG1 under the name it already has, or a new one with the hive's owner
// and mode.  A log that shares its file with another name is replaced by a
// file of its own, so that writing it changes nothing else.
int OpenLog(int dirFd, const std::string &name, bool exists, const struct stat &hive,
            bool *created) {
    if (exists) {
        int fd = openat(dirFd, name.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        struct stat st;
        if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1)
            return fd;
        if (fd >= 0)
            close(fd);
        if (unlinkat(dirFd, name.c_str(), 0) != 0)
            return -1;
    }
    *created = true;
    int fd = openat(dirFd, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0 && ((fchown(fd, hive.st_uid, hive.st_gid) != 0 && errno != EPERM) ||
                    fchmod(fd, hive.st_mode & 0666) != 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

// Step 1: the entry in LOG1, on disk, before the primary is touched.
bool WriteLog(const HiveSession *session, const struct stat &hive, const std::vector<uint8_t> &log,
              const std::string &existing, std::string *problem) {
    std::string name = existing.empty() ? session->name + ".LOG1" : existing;
    bool created = false;
    errno = 0;
    int fd = OpenLog(session->lockFd, name, !existing.empty(), hive, &created);
    if (fd < 0)
        return Fail(problem, "cannot open its transaction log " + name + "; the hive is unchanged");
    errno = 0;
    bool ok = WriteAll(fd, log.data(), log.size(), 0) &&
              ftruncate(fd, static_cast<off_t>(log.size())) == 0 && fdatasync(fd) == 0;
    if (close(fd) != 0)
        ok = false;
    if (ok && created)
        ok = fsync(session->lockFd) == 0;
    return ok ||
           Fail(problem, "cannot write its transaction log " + name + "; the hive is unchanged");
}

// A dirty hive brought up to the image recovered from its logs, which stay
// as they are until that is on disk: until then replay still gives that
// image, whatever part of the pages is written.
bool WriteRecovered(int fd, const Mapping &primary, const Mapping &recovered,
                    std::string *problem) {
    std::vector<HiveSpan> spans =
        ChangedSpans(primary, recovered.bytes, ReadLe32(recovered.bytes + kBinsSizeOffset));
    errno = 0;
    if (!WriteSpans(fd, recovered.bytes, spans) || fdatasync(fd) != 0 ||
        !WriteAll(fd, recovered.bytes, kBaseBlockSize, 0) || fdatasync(fd) != 0)
        return Fail(problem, "cannot write the hive recovered from its logs; it is unchanged");
    return true;
}

struct Commit {
    int fd = -1;
    uint64_t size = 0;              // of the primary before the commit
    const uint8_t *after = nullptr; // the new image, its base block final
    std::vector<HiveSpan> spans;
    // For undoing: what the primary held in the spans, and its base block.
    std::vector<uint8_t> saved;
    uint8_t base[kBaseBlockSize];
    uint8_t dirty[kLogSector];
};

// Steps 2 to 4.  On failure the old pages and base block go back; only if
// that fails too is the primary left dirty, for its log entry to finish.
bool WritePrimary(Commit &c, const std::string &logName, std::string *problem) {
    errno = 0;
    if (WriteAll(c.fd, c.dirty, sizeof c.dirty, 0) && fdatasync(c.fd) == 0 &&
        WriteSpans(c.fd, c.after, c.spans) && fdatasync(c.fd) == 0 &&
        WriteAll(c.fd, c.after, kBaseBlockSize, 0) && fdatasync(c.fd) == 0)
        return true;
    Fail(problem, "cannot write the hive");
    const uint8_t *old = c.saved.data();
    bool undone = WriteAll(c.fd, c.dirty, sizeof c.dirty, 0) && fdatasync(c.fd) == 0;
    for (const HiveSpan &span : c.spans) {
        uint64_t at = kBaseBlockSize + span.offset;
        size_t length = at >= c.size ? 0 : std::min<uint64_t>(span.length, c.size - at);
        undone = undone && WriteAll(c.fd, old, length, at);
        old += span.length;
    }
    undone = undone && ftruncate(c.fd, static_cast<off_t>(c.size)) == 0 &&
             WriteAll(c.fd, c.base, kBaseBlockSize, 0) && fdatasync(c.fd) == 0;
    *problem += undone ? "; the hive is unchanged"
                       : "; the hive is left for its transaction log " + logName +
                             " to complete when it is next loaded";
    return false;
}

// What the primary holds in the spans, read before any of them is written.
bool SavePages(Commit &c, std::string *problem) {
    for (const HiveSpan &span : c.spans) {
        uint64_t at = kBaseBlockSize + span.offset;
        size_t kept = at >= c.size ? 0 : std::min<uint64_t>(span.length, c.size - at);
        size_t from = c.saved.size();
        c.saved.resize(from + span.length, 0);
        if (kept > 0 && !ReadAt(c.fd, at, c.saved.data() + from, kept))
            return Fail(problem, "cannot read the hive; it is unchanged");
    }
    return true;
}

// Brings a dirty primary up to the image recovered from its logs, and
// finds the log the entry goes to.
bool Prepare(HiveSession *session, int fd, const struct stat &st, std::string *logName,
             std::vector<HiveLog> *logs, std::string *problem) {
    errno = 0;
    if (session->imageFd >= 0) {
        Mapping primary, recovered;
        struct stat rs;
        if (!primary.Map(fd, static_cast<size_t>(st.st_size), false))
            return Fail(problem, "cannot read the hive; it is unchanged");
        if (fstat(session->imageFd, &rs) != 0 ||
            !recovered.Map(session->imageFd, static_cast<size_t>(rs.st_size), false))
            return Fail(problem, "cannot read the recovered hive; the hive is unchanged");
        if (!WriteRecovered(fd, primary, recovered, problem))
            return false;
    }
    if (ReadHiveLogs(session->lockFd, session->name, logs, problem) != ERROR_SUCCESS) {
        *problem += "; the hive is unchanged";
        return false;
    }
    for (const HiveLog &log : *logs)
        if (strcasecmp(log.name.c_str(), (session->name + ".LOG1").c_str()) == 0)
            *logName = log.name;
    return true;
}

bool CommitThroughLog(HiveSession *session, int fd, const struct stat &st, std::string *problem) {
    std::vector<HiveLog> logs;
    std::string logName;
    Commit c;
    uint32_t sequence = 0;
    struct stat now;
    c.fd = fd;
    bool ok = Prepare(session, fd, st, &logName, &logs, problem);
    if (ok && (fstat(fd, &now) != 0 || !ReadAt(fd, 0, c.base, kBaseBlockSize)))
        ok = Fail(problem, "cannot read the hive; it is unchanged");
    ok =
        ok && EntrySequence(ReadLe32(c.base + kSequence2Offset), logs, logName, &sequence, problem);
    if (!ok)
        return false;
    c.size = static_cast<uint64_t>(now.st_size);
    SealImage(session->hive, session->now, sequence + 1);
    c.after = session->hive->Image();
    c.spans = session->hive->ChangedSpans();
    // The dirty mark is the new base block with the numbers apart, so
    // that replay seals exactly the image step 4 writes.
    memcpy(c.dirty, c.after, sizeof c.dirty);
    WriteLe32(c.dirty + kSequence2Offset, sequence);
    WriteLe32(c.dirty + kChecksumOffset, BaseBlockChecksum(c.dirty));
    std::string name = logName.empty() ? session->name + ".LOG1" : logName;
    return SavePages(c, problem) &&
           WriteLog(session, st, BuildLog(c.base, sequence, c.after, c.spans), logName, problem) &&
           WritePrimary(c, name, problem);
}

} // namespace

void SealImage(HiveCells *hive, uint64_t filetime, uint32_t sequence) {
    uint8_t *image = hive->BaseBlock();
    WriteLe32(image + kSequence1Offset, sequence);
    WriteLe32(image + kSequence2Offset, sequence);
    WriteLe32(image + kFileTypeOffset, kPrimaryFile);
    WriteLe64(hive->ChangeBins(kFirstBinTimestamp, 8), StampBaseBlock(image, filetime));
}

bool CommitHive(HiveSession *session, std::string *problem) {
    errno = 0;
    int fd = open(session->openPath.c_str(), O_RDWR | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        Fail(problem, "cannot open the hive for writing; it is unchanged");
        if (fd >= 0)
            close(fd);
        return false;
    }
    // Checked first: a hive replaced under the run leaves this name on a
    // file with no other names, which must not be taken for a hard link.
    bool ok;
    if (!HiveStillInPlace(session, session->identity)) {
        *problem = "the hive was changed by another program while this run was using it";
        ok = false;
    } else if (st.st_nlink != 1) {
        ok = ReplaceHiveFile(session->hive, session->lockFd, session->name, session->now, problem);
    } else {
        ok = CommitThroughLog(session, fd, st, problem);
    }
    close(fd);
    return ok;
}
