// Hives and logs that Windows wrote (../shared/realhives beside the project,
// read where they lie), replayed to what their README says Windows makes of
// them.  Without them (a release tarball) the table is skipped: status 77.
#include "../unit/fixture.h"
#include "platform/posix/hive/logapply.h"

#include <fcntl.h>

#include <algorithm>
#include <map>
#include <sstream>

namespace {

fs::path samples;

// Whether the key at a "\"-separated path is there, or has the value name.
bool Has(const Reader &hive, const std::string &path, const char *value) {
    hive_node_h node = hive.Find({});
    std::istringstream in(path);
    for (std::string part; node != 0 && std::getline(in, part, '\\');)
        node = hivex_node_get_child(hive.hive, node, part.c_str());
    return node != 0 && (value == nullptr || hivex_node_get_value(hive.hive, node, value) != 0);
}

std::map<fs::path, std::string> Files(const fs::path &folder) {
    std::map<fs::path, std::string> files;
    for (const fs::directory_entry &entry : fs::directory_iterator(folder))
        files[entry.path()] = Slurp(entry.path());
    return files;
}

// What Windows 7 wrote when it recovered OldDirtyHive, beside what the log
// gives; Windows 10's recovery of NewDirtyHive1 is ours to the byte.
const std::vector<std::pair<size_t, size_t>> kWindowsRecoveryStamps = {
    {0x04, 0x14},   // the sequence numbers and the last-written time
    {0x30, 0x70},   // the end of the path Windows loaded the hive from
    {0x1FC, 0x200}, // the checksum over those
    {kBaseBlockSize + 0x14, kBaseBlockSize + 0x1C}, // the first bin's copy of the time
    // Key 4500's longest value name: 24 bytes in the logged page, which the
    // engine keeps, 2 (its one value "v") in Windows 7's file: Windows
    // lowered that maximum as it recovered the hive.
    {0x6BDC8, 0x6BDCC},
};

// What the README says Windows makes of each sample.  Changes: "-key" and
// "+key" are keys the logs remove and add, "+key=name" a value they add.
struct Sample {
    const char *folder;  // which holds the hive, named as the folder less its number
    const char *outcome; // the replay's note, or why it is refused
    const char *windows; // Windows' own recovery of it, if any
    const char *changes;
};

TEST(RealHives, ReplayedAsWindowsReplaysThem) {
    const Sample table[] = {
        {"NewDirtyHive1", "replayed 4 log entries from NewDirtyHive.LOG1 and NewDirtyHive.LOG2",
         "RecoveredHive_Windows10", "-Key1 -Key2\\Key2_1 -Key2\\Key2_2 +Key3\\Key3_1 +Key3="},
        {"NewDirtyHive2", "replayed 3 log entries from NewDirtyHive.LOG2", "",
         "-Key1 +Key3\\Key3_3"},
        {"OldDirtyHive", "replayed 64 dirty pages from OldDirtyHive.LOG1", "RecoveredHive_Windows7",
         "+key_with_many_subkeys\\5000\\find_me_in_log +key_with_many_subkeys\\4500=v"},
        {"BadBaseBlockHive", "replayed 64 dirty pages from BadBaseBlockHive.LOG1", "",
         "+key_with_many_subkeys"},
        {"BadLogHive1", "its transaction logs are damaged", "", ""},
        {"BadLogHive2", "BadLogHive.LOG1 has no sound list of dirty pages", "", ""},
        {"BadLogHive3", "its transaction logs are damaged", "", ""},
    };
    for (const Sample &s : table) {
        fs::path folder = samples / s.folder;
        std::string name = s.folder;
        name.erase(name.find_last_not_of("0123456789") + 1);
        fs::path hive = folder / name;
        auto before = Files(folder);
        int fd = open(hive.c_str(), O_RDONLY | O_CLOEXEC);
        int dirFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        int imageFd = -1;
        std::string note, problem;
        LONG rc = ReplayDirtyHive(fd, fs::file_size(hive), dirFd, hive.string(), &imageFd, &note,
                                  &problem);
        EXPECT_NE(std::string::npos, (note + problem).find(s.outcome))
            << s.folder << ": " << note << problem;
        EXPECT_EQ(note.empty(), rc != ERROR_SUCCESS || imageFd < 0) << s.folder;
        // Whichever log is named first, the same entries in the same order.
        std::vector<HiveLog> logs;
        ASSERT_EQ(ERROR_SUCCESS, ReadHiveLogs(dirFd, name, &logs, &problem));
        std::reverse(logs.begin(), logs.end());
        std::string primary = Slurp(hive);
        HiveRecovery reversed = RecoverHive({primary.begin(), primary.end()}, logs);
        close(fd), close(dirFd);
        EXPECT_EQ(before, Files(folder)) << s.folder << ": written to";
        if (imageFd < 0)
            continue;
        fs::path image = "/proc/self/fd/" + std::to_string(imageFd);
        std::string got = Slurp(image);
        EXPECT_TRUE(got == std::string(reversed.image.begin(), reversed.image.end())) << s.folder;
        // Every sample's last change is number 5, its format version 1.3.
        const auto *base = reinterpret_cast<const uint8_t *>(got.data());
        EXPECT_EQ(6u, ReadLe32(base + kSequence2Offset)) << s.folder;
        EXPECT_EQ(3u, ReadLe32(base + kMinorVersionOffset)) << s.folder;
        EXPECT_TRUE(CheckHiveStructure(base, got.size(), {true, 1}).problems.empty()) << s.folder;
        Reader old(hive), now(image);
        std::istringstream changes(s.changes);
        for (std::string change; changes >> change;) {
            size_t equals = change.find('=');
            std::string key = change.substr(1, equals - 1);
            const char *value = equals == std::string::npos ? nullptr : &change[equals + 1];
            EXPECT_TRUE(Has(old, key, value) == (change[0] == '-') &&
                        Has(now, key, value) == (change[0] == '+'))
                << change;
        }
        close(imageFd);
        if (*s.windows == '\0')
            continue;
        // The hive bins byte for byte, and the base block but for what
        // Windows writes when it recovers a hive.
        std::string windows = Slurp(folder / s.windows);
        ASSERT_LE(got.size(), windows.size()) << s.folder;
        EXPECT_EQ(std::string::npos, windows.find_first_not_of('\0', got.size()));
        for (size_t at = 0; at < got.size(); at++) {
            bool may = std::any_of(kWindowsRecoveryStamps.begin(), kWindowsRecoveryStamps.end(),
                                   [at](auto r) { return at >= r.first && at < r.second; });
            if (got[at] != windows[at] && !(may && std::string(s.windows).back() == '7'))
                ADD_FAILURE() << s.folder << ": differs from " << s.windows << " at " << at;
        }
    }
}

// The seed as Windows hashes with: an entry Windows wrote carries both of
// its hashes.  And an old-format log older than the hive (by one tick,
// here) is refused.
TEST(RealHives, EntryHashesAndTheAgeOfOldLogs) {
    std::string hive = Slurp(samples / "OldDirtyHive/OldDirtyHive");
    std::string old = Slurp(samples / "OldDirtyHive/OldDirtyHive.LOG1");
    hive[kTimestampOffset]++, Reseal(hive);
    EXPECT_TRUE(RecoverHive({hive.begin(), hive.end()}, {{"L", {old.begin(), old.end()}}})
                    .problem.find("as recent as") != std::string::npos);
    std::string log = Slurp(samples / "NewDirtyHive1/NewDirtyHive.LOG1");
    const auto *entry = reinterpret_cast<const uint8_t *>(&log[kLogSector]);
    uint32_t size = ReadLe32(entry + 4);
    ASSERT_LE(kLogSector + size, log.size());
    EXPECT_EQ(ReadLe32(entry + 24) | uint64_t{ReadLe32(entry + 28)} << 32,
              Marvin32(entry + 40, size - 40, kLogEntrySeed));
    EXPECT_EQ(ReadLe32(entry + 32) | uint64_t{ReadLe32(entry + 36)} << 32,
              Marvin32(entry, 32, kLogEntrySeed));
}

} // namespace

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    if (argc != 2 || !fs::is_directory(argv[1])) {
        printf("realhives: skipped: no hives written by Windows at %s\n",
               argc == 2 ? argv[1] : "?");
        return 77;
    }
    samples = argv[1];
    return RUN_ALL_TESTS();
}
