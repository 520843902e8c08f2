// Recovering a dirty hive from its transaction logs, the way the system
// does when it loads one.  The system writes a change to SYSTEM.LOG1 or
// SYSTEM.LOG2 first and brings the primary file up to date only later (at
// a full shutdown, say), so the primary of a machine that was switched off
// with fast startup, crashed or lost power holds stale data, and its latest
// changes are only in the logs.  Editing the primary alone would work on
// that stale data, and the system would later replay the logs over the
// edit.
//
// Two formats: since Windows 8.1 a log holds entries, each a run of
// pages with a sequence number and two hashes; before, a log holds one
// bitmap of dirty 512-byte pages and the pages.  Either way the log's first
// sector is a copy of the primary's base block, marked as a log's.
#ifndef DRVINST_POSIX_HIVE_LOG_H
#define DRVINST_POSIX_HIVE_LOG_H

#include "platform/posix/winapi.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr size_t kLogSector = 512;
constexpr size_t kLogEntryHeaderSize = 40;
constexpr uint32_t kPrimaryFile = 0;
constexpr uint32_t kOldLogFile = 1;
constexpr uint32_t kNewLogFile = 6;
// The seed the system hashes log entries with, as a number: its low word
// starts the hash's low state word.  Logs Windows wrote are the test of it.
constexpr uint64_t kLogEntrySeed = 0x82EF4D887A4E55C5ULL;

// The Marvin32 hash: the final state's second word in the upper half.
uint64_t Marvin32(const uint8_t *data, size_t size, uint64_t seed);

// A log entry found sound: its signature, a size that keeps it inside the
// file, page references inside the hive bins size it records, and both
// hashes.
struct LogEntry {
    size_t offset = 0; // in the log file
    uint32_t size = 0;
    uint32_t flags = 0;
    uint32_t sequence = 0;
    uint32_t bins = 0; // the hive bins data size once the entry is applied
    uint32_t pages = 0;
};

// The entries of a new-format log in file order, the first numbered as the
// log's base block says and each one past the one before; the list stops
// at the first entry that is damaged or breaks the run, since what follows
// in the file is older or was never finished.  Empty unless the log's base
// block is sound.
std::vector<LogEntry> ReadLogEntries(const uint8_t *log, size_t size);

struct HiveLog {
    std::string name;
    std::vector<uint8_t> bytes;
};

struct HiveRecovery {
    std::vector<uint8_t> image; // the recovered hive, clean; empty when it cannot be
    size_t applied = 0;         // log entries, or dirty pages of an old-format log
    bool oldFormat = false;
    std::vector<std::string> used; // the logs they came from, in the order applied
    std::string problem;           // why the hive cannot be recovered
};

// Whether a primary file's bytes are those of a dirty hive: a hive base
// block with a wrong checksum or sequence numbers that differ.
bool HiveIsDirty(const uint8_t *primary, size_t size);

// Recovers a dirty primary from the logs found beside it (empty files
// among them, which the system keeps for compatibility, are passed over).
// The image has equal sequence numbers past every entry applied, so that
// neither the system nor this code replays those entries over it again.
HiveRecovery RecoverHive(std::vector<uint8_t> primary, const std::vector<HiveLog> &logs);

// Reads the hive open as fd and, when it is dirty, its logs from the
// directory dirFd, and recovers it into an anonymous file, *imageFd, that
// passes the checks CheckHiveFile makes; *imageFd is -1 when the hive is
// not dirty.  *note says what was replayed.  A hive that cannot be
// recovered yields a Win32 code with the reason in *problem.  Writes
// nothing to the tree.
LONG ReplayDirtyHive(int fd, uint64_t size, int dirFd, const std::string &path, int *imageFd,
                     std::string *note, std::string *problem);

// Whether the run asked for verbose output, so that a replay is reported.
bool HiveVerbose();

#endif
