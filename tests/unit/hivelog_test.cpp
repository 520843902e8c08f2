// The pieces of log replay a scenario cannot single out: the hash, which
// the dirty hives of the scenarios are made with, and the bounds of an entry.
#include "platform/posix/hive/hive.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// Published vectors of the hash's reference implementation.
TEST(HiveLog, Marvin32MatchesPublishedVectors) {
    const uint64_t seed = 0x4FB61A001BDBCCULL;
    struct Case {
        Bytes data;
        uint64_t hash;
    } cases[] = {
        {{0xaf}, 0x48E73FC77D75DDC1ULL},
        {{0x37, 0xf4, 0x95}, 0xF0B07C789B8CF7E8ULL},
        {{0xab, 0x42, 0x7e, 0xa8, 0xd1, 0x0f, 0xc7}, 0xE11847E4F0678C41ULL},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.hash, Marvin32(c.data.data(), c.data.size(), seed)) << c.data.size();
}

// Every entry here is 4608 bytes long, whatever its size field says.
void Hash(uint8_t *entry) {
    const uint32_t size = 4608;
    uint64_t one = Marvin32(entry + 40, size - 40, kLogEntrySeed);
    WriteLe32(entry + 24, static_cast<uint32_t>(one)), WriteLe32(entry + 28, one >> 32);
    uint64_t two = Marvin32(entry, 32, kLogEntrySeed);
    WriteLe32(entry + 32, static_cast<uint32_t>(two)), WriteLe32(entry + 36, two >> 32);
}

// A log whose base block says sequence, then one entry per marker: each
// writes the second bin of an 8192-byte hive, with the marker in its free
// cell.
Bytes Log(uint32_t sequence, const std::string &markers) {
    Bytes log = BuildEmptyHive("ROOT", 1);
    log.resize(kLogSector);
    for (size_t field : {kSequence1Offset, kSequence2Offset})
        WriteLe32(&log[field], sequence);
    WriteLe32(&log[kFileTypeOffset], kNewLogFile);
    WriteLe32(&log[kChecksumOffset], BaseBlockChecksum(log.data()));
    for (char marker : markers) {
        Bytes entry(512 + 4096, 0);
        memcpy(&entry[0], "HvLE", 4);
        WriteLe32(&entry[4], static_cast<uint32_t>(entry.size()));
        WriteLe32(&entry[12], sequence++);
        WriteLe32(&entry[16], 8192);
        WriteLe32(&entry[20], 1);
        WriteLe32(&entry[40], 4096), WriteLe32(&entry[44], 4096);
        uint8_t *bin = &entry[48];
        memcpy(bin, "hbin", 4), WriteLe32(bin + 4, 4096), WriteLe32(bin + 8, 4096);
        WriteLe32(bin + 32, 4096 - 32), bin[36] = static_cast<uint8_t>(marker);
        Hash(entry.data());
        log.insert(log.end(), entry.begin(), entry.end());
    }
    return log;
}

TEST(HiveLog, EntriesStopAtTheFirstThatIsDamaged) {
    using Damage = std::function<void(uint8_t * entry, Bytes & log)>;
    const size_t second = kLogSector + 4608;
    struct Case {
        const char *what;
        Damage damage;
        bool rehash;
    } cases[] = {
        {"sound", [](uint8_t *, Bytes &) {}, false},
        {"signature", [](uint8_t *e, Bytes &) { e[0] = 'h'; }, true},
        {"size not whole sectors", [](uint8_t *e, Bytes &) { WriteLe32(e + 4, 4600); }, true},
        {"size past the file", [](uint8_t *e, Bytes &) { WriteLe32(e + 4, 8192); }, true},
        {"cut short", [](uint8_t *, Bytes &l) { l.resize(l.size() - 512); }, false},
        {"bins not whole bins", [](uint8_t *e, Bytes &) { WriteLe32(e + 16, 8000); }, true},
        {"page past the bins", [](uint8_t *e, Bytes &) { WriteLe32(e + 16, 4096); }, true},
        {"empty page", [](uint8_t *e, Bytes &) { WriteLe32(e + 44, 0); }, true},
        {"too many pages", [](uint8_t *e, Bytes &) { WriteLe32(e + 20, 0x20000000); }, true},
        {"hash of the pages", [](uint8_t *e, Bytes &) { e[600]++; }, false},
        {"hash of the header", [](uint8_t *e, Bytes &) { e[8]++; }, false},
        {"sequence skipped", [](uint8_t *e, Bytes &) { WriteLe32(e + 12, 12); }, true},
    };
    for (const Case &c : cases) {
        Bytes log = Log(10, "AB");
        c.damage(&log[second], log);
        if (c.rehash)
            Hash(&log[second]);
        size_t expected = std::string(c.what) == "sound" ? 2 : 1;
        EXPECT_EQ(expected, ReadLogEntries(log.data(), log.size()).size()) << c.what;
    }
}

// Two logs beside a hive of one bin, each entry leaving its marker in a
// second bin, the last one 'C'.  A damaged primary (at 0) takes the base
// block of the log with the latest entries, as Windows does, not the stale
// one; a sound one (at 0xFFFFFFFE) goes on from it as the numbers wrap.
TEST(HiveLog, LogsReplayInTheOrderOfTheirNumbers) {
    for (uint32_t at : {0u, 0xFFFFFFFEu}) {
        Bytes primary = BuildEmptyHive("ROOT", 1);
        WriteLe32(&primary[kSequence1Offset], at + 1);
        WriteLe32(&primary[kSequence2Offset], at);
        WriteLe32(&primary[kChecksumOffset], at == 0 ? 0 : BaseBlockChecksum(primary.data()));
        HiveRecovery r = RecoverHive(
            primary, {{"L1", Log(at == 0 ? 10 : at, "AB")}, {"L2", Log(at == 0 ? 20 : 0, "C")}});
        ASSERT_EQ(kBaseBlockSize + 8192, r.image.size()) << at << ": " << r.problem;
        EXPECT_EQ('C', r.image[kBaseBlockSize + 4096 + 36]) << at;
    }
}

} // namespace
