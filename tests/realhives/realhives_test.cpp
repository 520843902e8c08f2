// Hives and logs that Windows wrote, replayed as Windows replays them: the
// samples in ../shared/realhives beside the project, read where they lie,
// with what their README says Windows does with each as the expectation.
// The engine's own logs are checked against the same reader, so these
// samples are what ties it to Windows.  Without them (a release tarball)
// the table is skipped with status 77.
#include "../unit/fixture.h"
#include "platform/posix/hive/logapply.h"

#include <fcntl.h>

#include <algorithm>
#include <map>
#include <sstream>

namespace {

using namespace std::string_literals;
fs::path samples;

// A key's "\"-separated path, as hivex's reader takes it.
struct Path {
    std::vector<std::string> parts;
    std::vector<const char *> names;
    explicit Path(const std::string &path) {
        std::istringstream in(path);
        for (std::string part; std::getline(in, part, '\\');)
            parts.push_back(part);
        for (const std::string &part : parts)
            names.push_back(part.c_str());
    }
};

std::map<fs::path, std::string> Files(const fs::path &folder) {
    std::map<fs::path, std::string> files;
    for (const fs::directory_entry &entry : fs::directory_iterator(folder))
        files[entry.path()] = Slurp(entry.path());
    return files;
}

struct Range {
    size_t from, to;
};

// What Windows writes when it recovers a hive, beside what the logs give.
const std::vector<Range> kWindowsRecoveryStamps = {
    {0x04, 0x14},   // the sequence numbers and the last-written time
    {0x30, 0x70},   // the end of the path Windows loaded the hive from
    {0x1FC, 0x200}, // the checksum over those
    {kBaseBlockSize + 0x14, kBaseBlockSize + 0x1C}, // the first bin's copy of the time
    // Key 4500's longest value name: 24 bytes in the logged page, 2 (its
    // one value "v") in Windows 7's file.  Windows sets that maximum to
    // the key's values when it loads the hive; the engine keeps what the
    // log holds, which over-states a maximum and nothing else.
    {0x6BDC8, 0x6BDCC},
};

struct Sample {
    const char *folder, *hive;
    const char *outcome;                 // the replay's note, or why it is refused
    uint32_t sequence;                   // of the recovered hive
    const char *windows;                 // Windows' own recovered file, if any
    const std::vector<Range> *mayDiffer; // and where ours may differ from it
    std::vector<std::string> gone, made; // keys the logs remove and add
    const char *key, *value;             // a value the logs add, and its data
    std::string data;
};

TEST(RealHives, ReplayedAsWindowsReplaysThem) {
    const std::vector<Range> none;
    std::string ones;
    for (int i = 0; i < 1440; i++)
        ones += "1"s + '\0';
    const Sample table[] = {
        {"NewDirtyHive1",
         "NewDirtyHive",
         "replayed 4 log entries from NewDirtyHive.LOG1 and NewDirtyHive.LOG2",
         6,
         "RecoveredHive_Windows10",
         &none,
         {"Key1", "Key2\\Key2_1", "Key2\\Key2_2"},
         {"Key3", "Key3\\Key3_1", "Key3\\Key3_2", "Key3\\Key3_3"},
         "Key3",
         "",
         ones + "\0\0"s},
        {"NewDirtyHive2",
         "NewDirtyHive",
         "replayed 3 log entries from NewDirtyHive.LOG2",
         6,
         nullptr,
         &none,
         {"Key1"},
         {"Key3\\Key3_3"},
         "Key3",
         "",
         ones + "\0\0"s},
        {"OldDirtyHive",
         "OldDirtyHive",
         "replayed 64 dirty pages from OldDirtyHive.LOG1",
         6,
         "RecoveredHive_Windows7",
         &kWindowsRecoveryStamps,
         {},
         {"key_with_many_subkeys\\5000\\find_me_in_log"},
         "key_with_many_subkeys\\4500",
         "v",
         "a\0\0\0b\0b\0\0\0c\0c\0c\0\0\0\0\0"s},
        {"BadBaseBlockHive",
         "BadBaseBlockHive",
         "replayed 64 dirty pages from BadBaseBlockHive.LOG1",
         6,
         nullptr,
         &none,
         {},
         {"key_with_many_subkeys"},
         "",
         "",
         ""},
        {"BadLogHive1",
         "BadLogHive",
         "its transaction logs are damaged",
         0,
         nullptr,
         &none,
         {},
         {},
         "",
         "",
         ""},
        {"BadLogHive2",
         "BadLogHive",
         "LOG1 has no sound list of dirty pages",
         0,
         nullptr,
         &none,
         {},
         {},
         "",
         "",
         ""},
        {"BadLogHive3",
         "BadLogHive",
         "its transaction logs are damaged",
         0,
         nullptr,
         &none,
         {},
         {},
         "",
         "",
         ""},
    };
    for (const Sample &s : table) {
        fs::path folder = samples / s.folder, hive = folder / s.hive;
        auto before = Files(folder);
        int fd = open(hive.c_str(), O_RDONLY | O_CLOEXEC);
        int dirFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        int imageFd = -1;
        std::string note, problem;
        LONG rc = ReplayDirtyHive(fd, fs::file_size(hive), dirFd, hive.string(), &imageFd, &note,
                                  &problem);
        EXPECT_NE(std::string::npos, (note + problem).find(s.outcome))
            << s.folder << ": " << note << problem;
        EXPECT_EQ(s.sequence != 0, rc == ERROR_SUCCESS && imageFd >= 0) << s.folder;
        // Whichever log is named first, the same entries in the same order.
        std::vector<HiveLog> logs;
        ASSERT_EQ(ERROR_SUCCESS, ReadHiveLogs(dirFd, s.hive, &logs, &problem));
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
        const auto *base = reinterpret_cast<const uint8_t *>(got.data());
        EXPECT_EQ(s.sequence, ReadLe32(base + kSequence2Offset)) << s.folder;
        EXPECT_EQ(3u, ReadLe32(base + kMinorVersionOffset)) << s.folder;
        HiveCheckOptions strict;
        strict.strict = true;
        EXPECT_TRUE(CheckHiveStructure(base, got.size(), strict).problems.empty()) << s.folder;
        Reader old(hive), now(image);
        for (const std::string &key : s.gone)
            EXPECT_TRUE(old.Find(Path(key).names) != 0 && now.Find(Path(key).names) == 0)
                << s.folder << ": " << key;
        for (const std::string &key : s.made)
            EXPECT_TRUE(old.Find(Path(key).names) == 0 && now.Find(Path(key).names) != 0)
                << s.folder << ": " << key;
        EXPECT_EQ(*s.key ? "<none>" : "", *s.key ? old.Value(Path(s.key).names, s.value) : "");
        EXPECT_TRUE(!*s.key || now.Value(Path(s.key).names, s.value) == s.data) << s.folder;
        if (s.windows != nullptr) {
            std::string windows = Slurp(folder / s.windows);
            ASSERT_LE(got.size(), windows.size()) << s.folder;
            EXPECT_EQ(std::string::npos, windows.find_first_not_of('\0', got.size()));
            for (size_t at = 0; at < got.size(); at++) {
                bool may = std::any_of(s.mayDiffer->begin(), s.mayDiffer->end(),
                                       [at](Range r) { return at >= r.from && at < r.to; });
                if (!may && got[at] != windows[at])
                    ADD_FAILURE() << s.folder << ": differs from " << s.windows << " at " << at;
            }
        }
        close(imageFd);
    }
}

// The seed as Windows hashes with: an entry Windows wrote carries both of
// its hashes.
TEST(RealHives, LogEntryHashesAreWindows) {
    std::string log = Slurp(samples / "NewDirtyHive1/NewDirtyHive.LOG1");
    ASSERT_GT(log.size(), kLogSector + kLogEntryHeaderSize);
    const auto *entry = reinterpret_cast<const uint8_t *>(&log[kLogSector]);
    uint32_t size = ReadLe32(entry + 4);
    ASSERT_LE(kLogSector + size, log.size());
    auto stored = [entry](size_t at) {
        return ReadLe32(entry + at) | uint64_t{ReadLe32(entry + at + 4)} << 32;
    };
    EXPECT_EQ(stored(24), Marvin32(entry + 40, size - 40, kLogEntrySeed));
    EXPECT_EQ(stored(32), Marvin32(entry, 32, kLogEntrySeed));
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
