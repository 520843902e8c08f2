// The offline registry calls against real hives: what a run sees, what
// reaches the file, hives that must be refused and left alone, and the
// strict check of a hive's structure that the other checks rely on.
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

// A tree copied from a Windows disk may spell the hive's path in any case.
TEST_F(Registry, PathsMatchIgnoringCase) {
    fs::path config = top / "WINNT/system32/config";
    fs::rename(config / "SYSTEM", config / "system");
    fs::rename(top / "WINNT/system32", top / "WINNT/System32");
    setenv("SystemRoot", (top / "winnt").c_str(), 1);
    EXPECT_NE(nullptr, Open("SyStEm\\CONTROLSET001\\SERVICES\\EventLOG\\SYSTEM\\"));
}

TEST_F(Registry, ValuesAreStoredAsTheSystemStoresThem) {
    char keyClass[] = "REG_SZ";
    HKEY key = Create(Services(), "korvex1", nullptr, keyClass);
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
    // The class, as Windows keeps it, and the parent's longest class.
    std::string file = Slurp(Hive());
    auto at = [&file](size_t offset) { return reinterpret_cast<uint8_t *>(&file[offset]); };
    size_t nk = hive.Find(korvex1) + 4, got = kBaseBlockSize + 4 + ReadLe32(at(nk + 0x30));
    EXPECT_EQ("R\0E\0G\0_\0S\0Z\0"s, file.substr(got, ReadLe16(at(nk + 0x4A))));
    EXPECT_EQ(12u, ReadLe32(at(hive.Find({"ControlSet001", "Services"}) + 4 + 0x38)));
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
    Commit();
    Reader hive(Hive());
    EXPECT_EQ(3u, hivex_node_nr_children(hive.hive, hive.Find(korvex1)));
    EXPECT_NE(0u, hive.Find({"ControlSet001", "Services", "korvex1", "Caf\xc3\xa9"}));
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

// A base block whose words XOR to sum, sealed: stored is what it must carry.
void ForceSum(std::string &bytes, uint32_t sum, uint32_t stored) {
    auto *base = reinterpret_cast<uint8_t *>(&bytes[0]);
    WriteLe32(base + 0x1F8, BaseBlockChecksum(base) ^ ReadLe32(base + 0x1F8) ^ sum);
    Reseal(bytes);
    EXPECT_EQ(stored, ReadLe32(base + kChecksumOffset));
}

// A hive's bytes, with its cells reached by their offsets from the bins.
struct Image {
    std::string bytes;

    uint8_t *Cell(uint32_t offset) {
        return reinterpret_cast<uint8_t *>(&bytes[kBaseBlockSize + offset + 4]);
    }
    uint32_t Get(uint32_t cell, size_t field) {
        return ReadLe32(Cell(cell) + field);
    }
    void Set(uint32_t cell, size_t field, uint32_t value) {
        WriteLe32(Cell(cell) + field, value);
    }
    std::string Problems() {
        HiveCheckOptions options{true, 10}; // strict
        std::string all;
        const auto *image = reinterpret_cast<const uint8_t *>(bytes.data());
        for (const std::string &p : CheckHiveStructure(image, bytes.size(), options).problems)
            all += p + "\n";
        return all;
    }
};

// Keys added out of order and past one leaf of a list, with values of
// every size set three times (the last in place), then all deleted: the
// strict check passes after
// each commit and hivex reads back what was written.  A large cell freed
// by a run serves the same run's next allocation: the hive does not grow.
TEST_F(Registry, EditsKeepTheHiveSoundAndReuseItsSpace) {
    std::vector<std::string> names;
    for (int i = 0; i < 1100; i++)
        names.push_back("k" + std::to_string(i * 7919 % 1100));
    auto set = [](HKEY key, const char *name, const std::string &data) {
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, name, 0, REG_BINARY,
                                                reinterpret_cast<const BYTE *>(data.data()),
                                                static_cast<DWORD>(data.size())));
    };
    HKEY services = Services();
    for (size_t i = 0; i < names.size(); i++) {
        HKEY key = Create(services, names[i]);
        set(key, "Text", std::string(i % 50, 'a'));
        set(key, "Text", std::string(i % 50 + 9, 'b'));
        set(key, "Text", std::string(i % 50 + 5, 'c')); // in place, before the next allocation
    }
    Commit();
    EXPECT_EQ("", Image{Slurp(Hive())}.Problems());
    EXPECT_EQ(std::string(12, 'c'),
              Reader(Hive()).Value({"ControlSet001", "Services", names[7].c_str()}, "Text"));
    services = Services();
    for (const std::string &name : names)
        EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(services, name.c_str()));
    set(Create(services, "old"), "Large", std::string(16000, 'x'));
    Commit();
    EXPECT_EQ("", Image{Slurp(Hive())}.Problems());
    EXPECT_EQ(0u, Reader(Hive()).Find({"ControlSet001", "Services", names[0].c_str()}));
    uintmax_t size = fs::file_size(Hive());
    services = Services();
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(services, "old"));
    set(Create(services, "new"), "Large", std::string(16000, 'y'));
    Commit();
    EXPECT_EQ(size, fs::file_size(Hive()));
}

// Each kind of damage a torn or mistaken write leaves, or a foreign disk
// brings: the strict check, whose word the crash and fault checks take,
// names it (strict null: a rule of the file, or hivex's own way of writing
// big values, outranks it); a run refuses it before its first change and
// leaves it as it was, unless refusal is null: damage a running system
// lives with.
TEST_F(Registry, DamagedHivesAreNamedRefusedAndLeftAlone) {
    HKEY services = Services();
    SetNumber(Create(services, "korvex1"), "Start", 0);
    // Data too large for the first bin's free space puts a second bin behind it.
    std::string large(6000, 'x');
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(Create(services, "korvex2"), "Large", 0, REG_BINARY,
                                            reinterpret_cast<const BYTE *>(large.data()), 6000));
    ASSERT_EQ(0, HiveFinish(0));
    Image good{Slurp(Hive())};
    EXPECT_EQ("", good.Problems());
    fs::remove(Hive().string() + ".LOG1"); // the commit's: it would recover some of these

    // hivex's handles are offsets from the file's start.
    Reader hive(Hive());
    auto cell = [&hive](const std::vector<const char *> &path) {
        return static_cast<uint32_t>(hive.Find(path) - kBaseBlockSize);
    };
    uint32_t root = cell({}), svc = cell({"ControlSet001", "Services"});
    uint32_t driver = cell({"ControlSet001", "Services", "korvex1"});
    uint32_t other = cell({"ControlSet001", "Services", "korvex2"});
    uint32_t list = good.Get(svc, 0x1C), security = good.Get(root, 0x2C);
    fs::path scratch = top / "scratch";
    struct Case {
        const char *strict, *refusal;
        std::function<void(Image &)> damage;
    } cases[] = {
        {"no hive signature", "not a registry hive", [](Image &i) { i.bytes.assign(9000, 'x'); }},
        {"declares", "too short", [](Image &i) { i.bytes.resize(8000); }},
        {"checksum", "checksum", [](Image &i) { i.bytes[kChecksumOffset] ^= 1; }},
        {"sequence numbers", "transaction log",
         [](Image &i) { i.bytes[kSequence1Offset]++, Reseal(i.bytes); }},
        {"declares", "truncated", [](Image &i) { i.bytes.resize(i.bytes.size() - 4096); }},
        {"declares", "truncated", [](Image &i) { i.bytes.resize(i.bytes.size() - 100); }},
        {nullptr, "its base block declares",
         [](Image &i) { i.bytes.resize(i.bytes.size() + kHiveSlack + 8); }},
        {"not a nk record", "root key cell is damaged", [&](Image &i) { i.Cell(root)[1] = 'x'; }},
        {"no bin signature", "no bin signature",
         [](Image &i) { i.bytes[kBaseBlockSize + 4096] = 'x'; }},
        {"says it is at", "first hive bin is damaged",
         [](Image &i) { i.bytes[kBaseBlockSize + 4] = 8; }},
        {"does not fit", "does not fit",
         [&](Image &i) { WriteLe32(i.Cell(driver) - 4, 0x80000000); }},
        {"subkey list", "subkey list", [&](Image &i) { i.Set(root, 0x1C, i.Get(root, 0x1C) + 1); }},
        // hivex would free these two with the key and stop the process.
        {"class name", "class name", [&](Image &i) { i.Set(root, 0x30, 8); }},
        {"security", "security", [&](Image &i) { i.Set(root, 0x2C, security + 8); }},
        {"references", "references", [&](Image &i) { i.Set(security, 0xC, 1); }},
        {nullptr, "used twice", [&](Image &i) { ShareBigData(i.bytes, scratch); }},
        {"deeper than the 512", "deeper than the 512",
         [&](Image &i) { NestTooDeep(i.bytes, scratch); }},
        {"parent link", "parent link", [&](Image &i) { i.Set(driver, 0x10, root); }},
        {"counts 9 subkeys", "counts 9 subkeys", [&](Image &i) { i.Set(svc, 0x14, 9); }},
        {"value list", "value list", [&](Image &i) { i.Set(driver, 0x28, 0x7FFFFFF0); }},
        {"not an allocated cell", "not an allocated cell",
         [&](Image &i) { i.Set(i.Get(driver, 0x28), 0, 8); }},
        {"points back", "points back", [&](Image &i) { i.Set(security, 8, 0x20); }},
        {"reached twice", "reached twice", [&](Image &i) { i.Set(list, 12, i.Get(list, 4)); }},
        {"used twice", "used twice",
         [&](Image &i) { i.Set(i.Get(other, 0x28), 0, i.Get(i.Get(driver, 0x28), 0)); }},
        {"not in the ring", "not in the ring",
         [&](Image &i) {
             uint32_t sk = i.Get(i.Get(i.Get(other, 0x28), 0), 8); // the large value's data
             memcpy(i.Cell(sk), "sk\0\0", 4), i.Set(sk, 4, sk), i.Set(sk, 8, sk);
             i.Set(sk, 0xC, 1), i.Set(sk, 0x10, 0), i.Set(driver, 0x2C, sk);
         }},
        {"sequence numbers", "answer to its transaction log's name",
         [&](Image &i) {
             i.bytes[kSequence1Offset]++, Reseal(i.bytes);
             Spill(Hive().string() + ".LOG1", ""), Spill(Hive().string() + ".log1", "");
         }},
        {"out of order", nullptr,
         [&](Image &i) {
             uint32_t first = i.Get(list, 4);
             i.Set(list, 4, i.Get(list, 12));
             i.Set(list, 12, first);
         }},
        // A running system counts references from volatile keys the file lacks.
        {"references", nullptr, [&](Image &i) { i.Set(security, 0xC, 100); }},
        // Windows could not find the key by it, though it reads the hive.
        {"keeps the hint", nullptr, [&](Image &i) { i.Set(list, 8, i.Get(list, 8) ^ 1); }},
        // The two sums a checksum never is.
        {nullptr, nullptr, [](Image &i) { ForceSum(i.bytes, 0, 1); }},
        {nullptr, nullptr, [](Image &i) { ForceSum(i.bytes, 0xFFFFFFFF, 0xFFFFFFFE); }},
    };
    for (const Case &c : cases) {
        Image bad = good;
        c.damage(bad);
        if (c.strict != nullptr) {
            std::string problems = bad.Problems();
            EXPECT_NE(std::string::npos, problems.find(c.strict)) << c.strict << ":\n" << problems;
        }
        HiveDiscard();
        Spill(Hive(), bad.bytes);
        testing::internal::CaptureStdout();
        HKEY key = nullptr;
        LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\Select\\New", 0, nullptr, 0,
                                  KEY_ALL_ACCESS, nullptr, &key, nullptr);
        std::string output = testing::internal::GetCapturedStdout();
        if (c.refusal == nullptr) {
            EXPECT_EQ(ERROR_SUCCESS, rc) << c.strict << ": " << output;
            RegCloseKey(key);
            continue;
        }
        EXPECT_EQ(ERROR_BADDB, rc) << c.refusal;
        EXPECT_NE(std::string::npos, output.find(c.refusal)) << c.refusal << ": " << output;
        EXPECT_EQ(0, HiveFinish(0));
        EXPECT_TRUE(bad.bytes == Slurp(Hive())) << c.refusal;
    }
}

} // namespace
