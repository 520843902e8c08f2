// Hives the backend must refuse, and the empty hive it builds for new
// trees.  A refused hive is never written, whatever the run does next.
#include "platform/platform.h"
#include "platform/posix/hive/hive.h"
#include "tests/posix/offlinetree.h"

#include <gtest/gtest.h>
#include <hivex.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::string Slurp(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void Spill(const fs::path &path, const std::string &bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// Rewrites the base block checksum, so that only the intended damage shows.
void Reseal(std::string &bytes) {
    auto *base = reinterpret_cast<uint8_t *>(&bytes[0]);
    WriteLe32(base + kChecksumOffset, BaseBlockChecksum(base));
}

// Sets the reference count of the root key's security cell, which every
// key of a generated tree shares.
void SetReferences(std::string &bytes, uint32_t count) {
    auto *bins = reinterpret_cast<uint8_t *>(&bytes[kBaseBlockSize]);
    uint32_t security = ReadLe32(bins + 0x20 + 4 + 0x2C);
    WriteLe32(bins + security + 4 + 0xC, count);
}

// Damage that needs new cells: made through hivex in a file beside the hive.
void ThroughHivex(std::string &bytes, const fs::path &scratch,
                  const std::function<void(hive_h *)> &edit) {
    Spill(scratch, bytes);
    hive_h *h = hivex_open(scratch.c_str(), HIVEX_OPEN_WRITE);
    ASSERT_NE(nullptr, h);
    edit(h);
    ASSERT_EQ(0, hivex_commit(h, nullptr, 0));
    hivex_close(h);
    bytes = Slurp(scratch);
}

// Two values past the plain size whose data is one cell: the second takes
// the first's data offset.  hivex handles count from the file's start.
void ShareBigData(std::string &bytes, const fs::path &scratch) {
    hive_value_h *made = nullptr;
    ThroughHivex(bytes, scratch, [&made](hive_h *h) {
        std::string data(20000, 'd');
        hive_set_value values[2] = {
            {const_cast<char *>("a"), hive_t_REG_BINARY, data.size(), &data[0]},
            {const_cast<char *>("b"), hive_t_REG_BINARY, data.size(), &data[0]}};
        hive_node_h key = hivex_node_add_child(h, hivex_root(h), "Big");
        ASSERT_EQ(0, hivex_node_set_values(h, key, 2, values, 0));
        made = hivex_node_values(h, key);
    });
    ASSERT_NE(nullptr, made);
    bytes.replace(made[1] + 4 + 8, 4, bytes, made[0] + 4 + 8, 4);
    free(made);
}

// A chain of keys one level deeper than the system allows.
void NestTooDeep(std::string &bytes, const fs::path &scratch) {
    ThroughHivex(bytes, scratch, [](hive_h *h) {
        hive_node_h key = hivex_root(h);
        for (int level = 2; level <= 513 && key != 0; level++)
            key = hivex_node_add_child(h, key, "k");
        ASSERT_NE(0u, key);
    });
}

class RegistryHiveFile : public OfflineTreeTest {
  protected:
    fs::path hive;

    void SetUp() override {
        OfflineTreeTest::SetUp();
        hive = Hive();
    }
};

TEST_F(RegistryHiveFile, DamagedHivesAreRefusedAndLeftAlone) {
    using Damage = std::function<void(std::string &)>;
    struct Case {
        const char *what;
        Damage damage;
        LONG expected;
        const char *message;
    } cases[] = {
        {"text", [](std::string &b) { b.assign(9000, 'x'); }, ERROR_BADDB, "not a registry hive"},
        {"short", [](std::string &b) { b.resize(8000); }, ERROR_BADDB, "too short"},
        {"checksum", [](std::string &b) { b[0x40] ^= 1; }, ERROR_BADDB, "checksum"},
        {"log", [](std::string &b) { b[kSequence2Offset]++, Reseal(b); }, ERROR_BADDB,
         "hive needs its transaction log replayed"},
        {"truncated", [](std::string &b) { b.resize(b.size() - 4096); }, ERROR_BADDB, "truncated"},
        {"far past its bins", [](std::string &b) { b.resize(b.size() + kHiveSlack + 8); },
         ERROR_BADDB, "its base block declares"},
        {"root", [](std::string &b) { b[kBaseBlockSize + 0x24] = 'x'; }, ERROR_BADDB,
         "root key cell is damaged"},
        {"bins", [](std::string &b) { b[kBaseBlockSize + 4096] = 'x'; }, ERROR_BADDB,
         "no bin signature"},
        {"subkey list", [](std::string &b) { b[kBaseBlockSize + 0x20 + 4 + 0x1C]++; }, ERROR_BADDB,
         "subkey list"},
        // hivex would free these with the key and stop the process.
        {"class cell", [](std::string &b) { b[kBaseBlockSize + 0x20 + 4 + 0x30] = 8; }, ERROR_BADDB,
         "class name"},
        {"security cell", [](std::string &b) { b[kBaseBlockSize + 0x20 + 4 + 0x2C] += 8; },
         ERROR_BADDB, "security"},
        {"too few references", [](std::string &b) { SetReferences(b, 1); }, ERROR_BADDB,
         "references"},
        {"shared big data", [&](std::string &b) { ShareBigData(b, top / "scratch"); }, ERROR_BADDB,
         "used twice"},
        {"too deep", [&](std::string &b) { NestTooDeep(b, top / "scratch"); }, ERROR_BADDB,
         "deeper than the 512 levels"},
    };
    std::string good = Slurp(hive);
    for (const Case &c : cases) {
        std::string bad = good;
        c.damage(bad);
        Spill(hive, bad);
        testing::internal::CaptureStdout();
        HKEY key = nullptr;
        EXPECT_EQ(c.expected, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\Select\\New", 0, nullptr,
                                              0, KEY_ALL_ACCESS, nullptr, &key, nullptr))
            << c.what;
        std::string output = testing::internal::GetCapturedStdout();
        EXPECT_NE(std::string::npos, output.find(c.message)) << c.what << ": " << output;
        EXPECT_EQ(0, HiveFinish(0));
        EXPECT_EQ(bad, Slurp(hive)) << c.what;
    }
}

// A hive saved by a running system may count references from volatile
// keys that are not in the file; it must still be served.
TEST_F(RegistryHiveFile, SecurityCountedByVolatileKeysIsAccepted) {
    std::string bytes = Slurp(hive);
    SetReferences(bytes, 100);
    Spill(hive, bytes);
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\Select", 0, KEY_READ, &key));
    RegCloseKey(key);
}

TEST_F(RegistryHiveFile, MissingHiveOrDirectoryInItsPlace) {
    struct Case {
        const char *what;
        LONG expected;
        const char *message;
    } cases[] = {
        {"missing", ERROR_FILE_NOT_FOUND, "No such file"},
        {"directory", ERROR_CANTOPEN, "is a directory"},
    };
    for (const Case &c : cases) {
        fs::remove_all(hive);
        if (c.expected == ERROR_CANTOPEN)
            fs::create_directory(hive);
        testing::internal::CaptureStdout();
        HKEY key = nullptr;
        EXPECT_EQ(c.expected, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM", 0, KEY_READ, &key));
        std::string output = testing::internal::GetCapturedStdout();
        EXPECT_NE(std::string::npos, output.find(c.message)) << output;
    }
}

TEST_F(RegistryHiveFile, EmptyHiveTakesNewKeys) {
    fs::path path = top / "empty";
    std::string error;
    ASSERT_TRUE(WriteEmptyHive(path, "ROOT", &error)) << error;
    EXPECT_FALSE(WriteEmptyHive(path, "ROOT", &error));
    std::string bytes = Slurp(path);
    ASSERT_EQ(kMinimumHiveSize, bytes.size());
    uint32_t sum = ReadLe32(reinterpret_cast<const uint8_t *>(&bytes[kChecksumOffset]));
    EXPECT_TRUE(sum != 0 && sum != 0xFFFFFFFF);
    // Adding a key needs the root's security cell; committing and reading
    // back shows the cells hivex left are consistent.
    hive_h *h = hivex_open(path.c_str(), HIVEX_OPEN_WRITE);
    ASSERT_NE(nullptr, h);
    EXPECT_NE(0u, hivex_node_add_child(h, hivex_root(h), "Select"));
    EXPECT_EQ(0, hivex_commit(h, nullptr, 0));
    hivex_close(h);
    h = hivex_open(path.c_str(), 0);
    ASSERT_NE(nullptr, h);
    EXPECT_NE(0u, hivex_node_get_child(h, hivex_root(h), "select"));
    hivex_close(h);
}

// A checksum of 0 or ~0 reads as damage to the system, so the image must
// never carry one, whatever its timestamp.
TEST_F(RegistryHiveFile, EmptyHiveAvoidsChecksumsTheSystemRejects) {
    std::vector<uint8_t> probe = BuildEmptyHive("ROOT", 0x01D0000000000000);
    uint32_t low = ReadLe32(&probe[kTimestampOffset]);
    uint32_t sum = ReadLe32(&probe[kChecksumOffset]);
    for (uint32_t target : {0u, 0xFFFFFFFFu}) {
        uint64_t stamp = 0x01D0000000000000 | (low ^ sum ^ target);
        std::vector<uint8_t> image = BuildEmptyHive("ROOT", stamp);
        uint32_t stored = ReadLe32(&image[kChecksumOffset]);
        EXPECT_TRUE(stored != 0 && stored != 0xFFFFFFFF) << std::hex << stored;
        EXPECT_EQ(BaseBlockChecksum(image.data()), stored);
    }
}

TEST_F(RegistryHiveFile, ToolsLayOutATreeTheHivexToolsRead) {
    fs::path tree = top / "demo";
    std::string tools = BUILD_DIR;
    ASSERT_EQ(0, system((tools + "/mktree " + tree.string() + " 2 1").c_str()));
    EXPECT_NE(0, system((tools + "/mktree " + tree.string() + " 2>/dev/null").c_str()));
    EXPECT_NE(0,
              system((tools + "/mkhive " + (top / "x").string() + " 'a\\b' 2>/dev/null").c_str()));
    EXPECT_TRUE(fs::is_directory(tree / "WINNT/system32/drivers"));
    fs::path exported = top / "export.reg";
    std::string command = "hivexregedit --export " +
                          (tree / "WINNT/system32/config/SYSTEM").string() + " '\\' > " +
                          exported.string();
    ASSERT_EQ(0, system(command.c_str()));
    std::string text = Slurp(exported);
    for (const char *line : {"[\\ControlSet002\\Services\\EventLog\\System]",
                             "[\\ControlSet001\\Services\\EventLog\\System]",
                             "\"Current\"=dword:00000002", "\"Default\"=dword:00000001"})
        EXPECT_NE(std::string::npos, text.find(line)) << line << "\n" << text;
}

} // namespace
