// What the replay of either log format shares: the log's base block and the
// image it starts from and leaves.  Internal to the hive engine.
#ifndef DRVINST_POSIX_HIVE_LOGAPPLY_H
#define DRVINST_POSIX_HIVE_LOGAPPLY_H

#include "log.h"

#include <cstdint>
#include <string>
#include <vector>

// The base block's flags, which a log entry carries along.
constexpr size_t kBaseFlagsOffset = 0x90;
// Cell offsets are 31 bits wide, which bounds the bins.
constexpr uint64_t kMostBins = 0x80000000ULL - 4096;

// Whether the first sector of a log is a sound copy of a base block
// marked as a log's: signature, checksum, equal sequence numbers.
bool LogBaseBlockSound(const uint8_t *log);

// kOldLogFile or kNewLogFile for a log with a sound base block, else 0.
uint32_t LogBaseBlockType(const HiveLog &log);

// The primary's bytes to apply a log to, taken from primary; a primary
// whose base block is damaged takes the log's, marked as a primary's again.
std::vector<uint8_t> StartImage(std::vector<uint8_t> &primary, bool primarySound,
                                const HiveLog &log);

// Makes the recovered image clean at the given sequence number: both
// numbers equal, the primary's file type, the file as long as its bins,
// and the checksum.
void SealRecovered(uint32_t sequence, std::vector<uint8_t> *image);

// The old format: the one log whose base block matches the primary's.
void RecoverFromDirtyPages(const std::vector<HiveLog> &logs, std::vector<uint8_t> &primary,
                           bool primarySound, uint64_t mostBins, HiveRecovery *out);

// Whether bin headers among pages written at offset are ones bins bytes
// of bins can hold; pages at the start of the bins must begin a bin.
bool PagesKeepBins(const uint8_t *data, uint32_t offset, uint32_t length, uint32_t bins);

// The logs of the hive named hiveName in the directory dirFd, matched
// without case as the system's file system would, in the order LOG1, LOG2,
// LOG.  Two files answering to one name, or a log that is not a regular
// file, yield a Win32 code with the reason in *problem.
LONG ReadHiveLogs(int dirFd, const std::string &hiveName, std::vector<HiveLog> *logs,
                  std::string *problem);

#endif
