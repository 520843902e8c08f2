// The offline registry calls against real hives: what a run sees, what
// reaches the file, and hives that must be refused and left alone.
#include "fixture.h"

#include "platform/posix/registry/registry.h"

#include <sys/stat.h>

#include <functional>

namespace {

using namespace std::string_literals;
using Nodes = std::vector<const char *>;
const Nodes korvex1 = {"ControlSet001", "Services", "korvex1"};

class Registry : public TreeTest {
  protected:
    void Commit() {
        ASSERT_EQ(0, HiveFinish(0));
    }
};

TEST_F(Registry, CurrentControlSetFollowsSelectCurrent) {
    const char *differ = "warning: offline hive: Select\\Current is ControlSet002 but "
                         "Select\\Default is ControlSet001\n";
    for (auto [current, fallback, warning] :
         {std::tuple<unsigned, unsigned, const char *>{1, 1, ""}, {2, 2, ""}, {2, 1, differ}}) {
        MakeTree({current, fallback});
        std::string set = "SYSTEM\\ControlSet00" + std::to_string(current);
        Create(HKEY_LOCAL_MACHINE, set + "\\Services\\Mark");
        Commit();
        testing::internal::CaptureStdout();
        Open("SYSTEM\\CurrentControlSet\\Services\\Mark");
        Open("SYSTEM\\CurrentControlSet");
        fflush(stdout);
        EXPECT_EQ(warning, testing::internal::GetCapturedStdout()) << current;
    }
    MakeTree(TreeLayout()); // the warning is given once a session
    DWORD three = 3;
    ASSERT_EQ(0, RegSetValueExA(Open("SYSTEM\\Select"), "current", 0, REG_DWORD,
                                reinterpret_cast<BYTE *>(&three), 4));
    testing::internal::CaptureStdout();
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet", 0, KEY_READ, &key));
    EXPECT_NE(std::string::npos,
              testing::internal::GetCapturedStdout().find("names ControlSet003, which cannot"));
}

TEST_F(Registry, PathsMatchIgnoringCaseAndBadOnesAreRefused) {
    fs::path config = top / "WINNT/system32/config";
    fs::rename(config / "SYSTEM", config / "system");
    fs::rename(top / "WINNT/system32", top / "WINNT/System32");
    setenv("SystemRoot", (top / "winnt").c_str(), 1);
    for (const char *path : {"system\\currentcontrolset\\services\\eventlog\\system",
                             "SyStEm\\CONTROLSET001\\SERVICES\\EventLOG\\SYSTEM\\"})
        EXPECT_NE(nullptr, Open(path));
    for (auto [path, expected] : {std::pair<const char *, LONG>{"SOFTWARE", ERROR_FILE_NOT_FOUND},
                                  {"SYSTEM\\NoSuchKey", ERROR_FILE_NOT_FOUND},
                                  {"SYSTEM\\\\Select", ERROR_INVALID_PARAMETER},
                                  {"\\SYSTEM", ERROR_INVALID_PARAMETER}}) {
        HKEY key = nullptr;
        EXPECT_EQ(expected, RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key)) << path;
        EXPECT_EQ(nullptr, key);
    }
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\x", 0, nullptr, 0,
                                                   KEY_ALL_ACCESS, nullptr, &key, nullptr));
}

TEST_F(Registry, ValuesAreStoredAsTheSystemStoresThem) {
    HKEY key = Create(Services(), "korvex1");
    const char text[] = "Caf\xe9 \x80";
    auto bytes = [](const void *p) { return static_cast<const BYTE *>(p); };
    ASSERT_EQ(0, RegSetValueExA(key, "ImagePath", 0, REG_EXPAND_SZ, bytes(text), sizeof text));
    SetNumber(key, "ErrorControl", 0x01020304);
    SetNumber(key, "Start", 3);
    SetNumber(key, "START", 0);
    std::vector<BYTE> big(20000);
    EXPECT_EQ(ERROR_CANTWRITE, RegSetValueExA(key, "Big", 0, REG_BINARY, big.data(), 20000));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegSetValueExA(key, "Type", 0, REG_DWORD, bytes("ab"), 2));
    ASSERT_EQ(0, RegSetValueExA(key, "Property", 0, 0xFFFF0012, bytes("ab"), 2));
    Commit();
    Reader hive(Hive());
    EXPECT_EQ(std::string("C\0a\0f\0\xe9\0 \0\xac\x20\0\0", 14), hive.Value(korvex1, "ImagePath"));
    EXPECT_EQ(std::string(4, '\0'), hive.Value(korvex1, "Start"));
    EXPECT_EQ("\x04\x03\x02\x01", hive.Value(korvex1, "ErrorControl"));
    EXPECT_EQ("ab", hive.Value(korvex1, "Property"));
    EXPECT_EQ(4u, hivex_node_nr_values(hive.hive, hive.Find(korvex1)));
}

TEST_F(Registry, DeleteEnumerateAndQueryAsTheSystemDoes) {
    HKEY services = Services();
    HKEY parent = Create(services, "korvex1");
    for (const char *name : {"b", "A", "Caf\xe9", "LongestChild\\Below"})
        Create(parent, name);
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(services, "korvex1"));
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteKeyA(services, "korvex2"));
    DWORD subKeys = 0, longest = 0;
    ASSERT_EQ(0, RegQueryInfoKeyA(parent, nullptr, nullptr, nullptr, &subKeys, &longest, nullptr,
                                  nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(4u, subKeys);
    EXPECT_EQ(12u, longest);
    ASSERT_EQ(0, RegDeleteKeyA(parent, "longestchild\\below"));
    ASSERT_EQ(0, RegDeleteKeyA(parent, "LONGESTCHILD"));
    char name[16];
    const char *expected[] = {"A", "b", "Caf\xe9"};
    for (DWORD i = 0; i < 3; i++) {
        ASSERT_EQ(ERROR_SUCCESS, RegEnumKeyA(parent, i, name, sizeof name));
        EXPECT_STREQ(expected[i], name);
    }
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, RegEnumKeyA(parent, 3, name, sizeof name));
    EXPECT_EQ(ERROR_MORE_DATA, RegEnumKeyA(parent, 2, name, 4));
    EXPECT_EQ(ERROR_SUCCESS, RegEnumKeyA(parent, 2, name, 5));
    // A key deleted while its handle is open is gone for that handle too.
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(parent, "b"));
    HKEY b = Create(parent, "b");
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(parent, "b"));
    HKEY below = nullptr;
    EXPECT_EQ(ERROR_KEY_DELETED, RegOpenKeyExA(b, "", 0, KEY_READ, &below));
    EXPECT_EQ(ERROR_KEY_DELETED, RegSetValueExA(b, "Type", 0, REG_DWORD, nullptr, 0));
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(b));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(b));
    Commit();
    Reader hive(Hive());
    EXPECT_EQ(2u, hivex_node_nr_children(hive.hive, hive.Find(korvex1)));
    EXPECT_NE(0u, hive.Find({"ControlSet001", "Services", "korvex1", "Caf\xc3\xa9"}));
}

// Key handles are cell offsets; the writable copy loaded at the first
// change must number the cells as the mapped file did.  Deletions show at
// once and reach the hive a whole tree at a time, after which the name
// can be made anew.
TEST_F(Registry, DeferredDeletionsAndHandlesOpenedBeforeTheFirstChange) {
    HKEY old = Create(Services(), "korvex1");
    for (int i = 0; i < 20; i++)
        SetNumber(Create(old, "Sub" + std::to_string(i) + (i % 5 ? "" : "\\Deeper")), "I", i);
    Commit();
    HKEY events = Open("SYSTEM\\ControlSet001\\Services\\EventLog\\System");
    old = Open("SYSTEM\\CurrentControlSet\\Services\\korvex1");
    for (const char *name : {"Sub1", "sub2", "SUB0\\deeper", "sub0"})
        ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(old, name)) << name;
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(old, "Sub5"));
    EXPECT_EQ(17u, SubkeyCount(old));
    HKEY gone = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(old, "sub2", 0, KEY_READ, &gone));
    char name[32];
    ASSERT_EQ(ERROR_SUCCESS, RegEnumKeyA(old, 0, name, sizeof name));
    EXPECT_STREQ("Sub10", name);
    DWORD disposition = 0;
    Create(old, "Sub2", &disposition);
    EXPECT_EQ(DWORD{REG_CREATED_NEW_KEY}, disposition);
    SetNumber(events, "Mark", 7);
    Commit();
    Reader hive(Hive());
    EXPECT_EQ(18u, hivex_node_nr_children(hive.hive, hive.Find(korvex1)));
    EXPECT_EQ(0u, hive.Find({"ControlSet001", "Services", "korvex1", "Sub0"}));
    EXPECT_EQ(0u, hivex_node_nr_values(
                      hive.hive, hive.Find({"ControlSet001", "Services", "korvex1", "Sub2"})));
    EXPECT_EQ("\x07\0\0\0"s,
              hive.Value({"ControlSet001", "Services", "EventLog", "System"}, "Mark"));
}

TEST_F(Registry, CommitKeepsOwnerAndModeStampsTimesAndLeavesNoTemporary) {
    bool root = geteuid() == 0;
    ASSERT_EQ(0, chmod(Hive().c_str(), 0640));
    if (root) {
        ASSERT_EQ(0, chown(Hive().c_str(), 1234, 5678));
    }
    int64_t start = static_cast<int64_t>(CurrentFiletime());
    fs::path stale = Hive().string() + ".commit-Xy12Zq";
    Spill(stale, "left by a killed run");
    Create(Services(), "korvex1");
    EXPECT_FALSE(fs::exists(stale));
    Commit();
    for (const std::string &path : {Hive().string(), Hive().string() + ".LOG1"}) {
        struct stat st;
        ASSERT_EQ(0, stat(path.c_str(), &st));
        EXPECT_EQ(0640u, st.st_mode & 07777);
        if (root) {
            EXPECT_EQ(1234u, st.st_uid);
            EXPECT_EQ(5678u, st.st_gid);
        }
    }
    EXPECT_EQ(2, std::distance(fs::directory_iterator(Hive().parent_path()), {}));
    // The created key and the parent whose subkeys changed carry the run's time.
    Reader hive(Hive());
    for (hive_node_h key : {hive.Find(korvex1), hive.Find({"ControlSet001", "Services"})})
        EXPECT_LE(start, hivex_node_timestamp(hive.hive, key));
    if (!root)
        GTEST_SKIP() << "the owner is kept only where the test may give the hive another: as root";
}

// Writing in place would change every name of the file, outside the tree too.
TEST_F(Registry, HiveWithAnotherNameIsReplacedNotWrittenThrough) {
    fs::path other = Hive().parent_path().parent_path() / "other-name";
    fs::create_hard_link(Hive(), other);
    std::string before = Slurp(other);
    Create(Services(), "korvex1");
    Commit();
    EXPECT_EQ(before, Slurp(other));
    EXPECT_NE(0u, Reader(Hive()).Find(korvex1));
}

TEST_F(Registry, HiveChangedUnderTheRunIsNotOverwritten) {
    using Tamper = void (*)(const fs::path &);
    for (Tamper tamper : {Tamper([](const fs::path &h) { std::ofstream(h, std::ios::app) << "x"; }),
                          Tamper([](const fs::path &h) {
                              fs::last_write_time(h,
                                                  fs::last_write_time(h) - std::chrono::hours(1));
                          }),
                          Tamper([](const fs::path &h) {
                              fs::copy_file(h, h.string() + ".other");
                              fs::rename(h.string() + ".other", h);
                          })}) {
        HiveDiscard();
        HKEY services = Services();
        tamper(Hive());
        std::string tampered = Slurp(Hive());
        HKEY key = nullptr;
        testing::internal::CaptureStdout();
        EXPECT_EQ(ERROR_CANTWRITE, RegCreateKeyExA(services, "korvex1", 0, nullptr, 0,
                                                   KEY_ALL_ACCESS, nullptr, &key, nullptr));
        EXPECT_NE(0, HiveFinish(0));
        std::string output = testing::internal::GetCapturedStdout();
        EXPECT_NE(std::string::npos, output.find("changed by another program")) << output;
        EXPECT_EQ(tampered, Slurp(Hive()));
    }
}

// Sets the reference count of the root key's security cell, which every
// key of a generated tree shares.
void SetReferences(std::string &bytes, uint32_t count) {
    auto *bins = reinterpret_cast<uint8_t *>(&bytes[kBaseBlockSize]);
    WriteLe32(bins + ReadLe32(bins + 0x20 + 4 + 0x2C) + 4 + 0xC, count);
}

void Reseal(std::string &bytes) {
    auto *base = reinterpret_cast<uint8_t *>(&bytes[0]);
    WriteLe32(base + kChecksumOffset, BaseBlockChecksum(base));
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

TEST_F(Registry, DamagedHivesAreRefusedAndLeftAlone) {
    const size_t root = kBaseBlockSize + 0x20 + 4;
    struct Case {
        const char *message;
        std::function<void(std::string &)> damage;
    } cases[] = {
        {"not a registry hive", [](std::string &b) { b.assign(9000, 'x'); }},
        {"too short", [](std::string &b) { b.resize(8000); }},
        {"checksum", [](std::string &b) { b[0x40] ^= 1; }},
        {"transaction log", [](std::string &b) { b[kSequence2Offset]++, Reseal(b); }},
        {"truncated", [](std::string &b) { b.resize(b.size() - 4096); }},
        {"its base block declares", [](std::string &b) { b.resize(b.size() + kHiveSlack + 8); }},
        {"root key cell is damaged", [](std::string &b) { b[kBaseBlockSize + 0x24] = 'x'; }},
        {"no bin signature", [](std::string &b) { b[kBaseBlockSize + 4096] = 'x'; }},
        {"subkey list", [=](std::string &b) { b[root + 0x1C]++; }},
        // hivex would free these with the key and stop the process.
        {"class name", [=](std::string &b) { b[root + 0x30] = 8; }},
        {"security", [=](std::string &b) { b[root + 0x2C] += 8; }},
        {"references", [](std::string &b) { SetReferences(b, 1); }},
        {"used twice", [&](std::string &b) { ShareBigData(b, top / "scratch"); }},
        {"deeper than the 512 levels", [&](std::string &b) { NestTooDeep(b, top / "scratch"); }},
    };
    std::string good = Slurp(Hive());
    for (const Case &c : cases) {
        std::string bad = good;
        c.damage(bad);
        Spill(Hive(), bad);
        testing::internal::CaptureStdout();
        HKEY key = nullptr;
        EXPECT_EQ(ERROR_BADDB, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\Select\\New", 0,
                                               nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
        std::string output = testing::internal::GetCapturedStdout();
        EXPECT_NE(std::string::npos, output.find(c.message)) << c.message << ": " << output;
        EXPECT_EQ(0, HiveFinish(0));
        EXPECT_EQ(bad, Slurp(Hive())) << c.message;
    }
    // A running system counts references from volatile keys the file lacks.
    SetReferences(good, 100);
    Spill(Hive(), good);
    EXPECT_NE(nullptr, Open("SYSTEM\\Select"));
}

} // namespace
