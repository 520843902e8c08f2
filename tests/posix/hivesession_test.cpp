// The work the session puts off, against real hives: the hive is loaded for
// writing only at the run's first change, deleted keys leave the hive a
// whole tree at a time, and what the registry calls report agrees with the
// hive at every step in between.
#include "platform/platform.h"
#include "platform/posix/hive/hive.h"
#include "tests/posix/offlinetree.h"

#include <gtest/gtest.h>
#include <hivex.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const BYTE *Bytes(const void *p) {
    return static_cast<const BYTE *>(p);
}

class HiveSessionTest : public OfflineTreeTest {
  protected:
    void SetNumber(HKEY key, const char *name, DWORD number) {
        EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(key, name, 0, REG_DWORD, Bytes(&number), 4));
    }
    // korvex1 with 40 subkeys, every fifth holding two of its own, and a
    // value on each, committed.
    void MakeOldService() {
        HKEY old = Create(Services(), "korvex1");
        SetNumber(old, "Type", 1);
        for (int i = 0; i < 40; i++) {
            std::string name = "Sub" + std::to_string(i);
            SetNumber(Create(old, name), "Index", i);
            if (i % 5 == 0) {
                Create(old, name + "\\Deeper");
                Create(old, name + "\\Deeper2");
            }
        }
        ASSERT_EQ(0, HiveFinish(0));
    }
    size_t ServicesCount() {
        Reader hive(Hive());
        return hivex_node_nr_children(hive.hive, hive.Find({"ControlSet001", "Services"}));
    }
    DWORD SubkeyCount(HKEY key) {
        DWORD count = 99;
        EXPECT_EQ(ERROR_SUCCESS,
                  RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &count, nullptr, nullptr,
                                   nullptr, nullptr, nullptr, nullptr, nullptr));
        return count;
    }
};

// The installer's way of removing a tree: every name first, then each
// subkey emptied and deleted, then the key itself.
void RemoveTree(HKEY parent, const std::string &name) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(parent, name.c_str(), 0, KEY_READ, &key)) << name;
    std::vector<std::string> names;
    char buffer[256];
    for (DWORD i = 0; RegEnumKeyA(key, i, buffer, sizeof buffer) == ERROR_SUCCESS; i++)
        names.push_back(buffer);
    for (const std::string &child : names)
        RemoveTree(key, child);
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(parent, name.c_str())) << name;
    RegCloseKey(key);
}

TEST_F(HiveSessionTest, HiveIsLoadedForWritingOnlyAtTheFirstChange) {
    HKEY services = Services();
    char name[64];
    ASSERT_EQ(ERROR_SUCCESS, RegEnumKeyA(services, 0, name, sizeof name));
    SubkeyCount(services);
    DWORD disposition = 0;
    Create(services, "eventlog", &disposition);
    EXPECT_EQ(DWORD{REG_OPENED_EXISTING_KEY}, disposition);
    std::vector<BYTE> big(20000);
    EXPECT_EQ(ERROR_CANTWRITE, RegSetValueExA(services, "Big", 0, REG_BINARY, big.data(), 20000));
    EXPECT_FALSE(HiveCurrent()->writable);
    SetNumber(services, "Mark", 1);
    EXPECT_TRUE(HiveCurrent()->writable);
}

// Key handles are cell offsets; the writable copy must number the cells
// exactly as the mapped file did, or the writes below land elsewhere.
TEST_F(HiveSessionTest, HandlesOpenedBeforeTheSwitchKeepTheirKeys) {
    struct Case {
        const char *path;
        std::vector<const char *> inHive;
    } cases[] = {
        {"SYSTEM\\Select", {"Select"}},
        {"SYSTEM\\CurrentControlSet\\Services", {"ControlSet001", "Services"}},
        {"SYSTEM\\ControlSet001\\Services\\EventLog\\System",
         {"ControlSet001", "Services", "EventLog", "System"}},
    };
    std::vector<HKEY> keys;
    for (const Case &c : cases)
        keys.push_back(Open(c.path));
    ASSERT_FALSE(HiveCurrent()->writable);
    for (size_t i = 0; i < keys.size(); i++)
        SetNumber(keys[i], "Mark", static_cast<DWORD>(100 + i));
    ASSERT_EQ(0, HiveFinish(0));
    Reader hive(Hive());
    for (size_t i = 0; i < keys.size(); i++) {
        hive_value_h mark = hivex_node_get_value(hive.hive, hive.Find(cases[i].inHive), "Mark");
        ASSERT_NE(0u, mark) << cases[i].path;
        EXPECT_EQ(static_cast<int32_t>(100 + i), hivex_value_dword(hive.hive, mark));
    }
}

TEST_F(HiveSessionTest, HiveChangedUnderTheRunIsNotOverwritten) {
    struct Case {
        const char *what;
        void (*tamper)(const fs::path &hive);
    } cases[] = {
        {"grown", [](const fs::path &h) { std::ofstream(h, std::ios::app) << "more"; }},
        {"touched",
         [](const fs::path &h) {
             fs::last_write_time(h, fs::last_write_time(h) - std::chrono::hours(1));
         }},
        {"replaced",
         [](const fs::path &h) {
             fs::copy_file(h, h.string() + ".other");
             fs::rename(h.string() + ".other", h);
         }},
    };
    for (const Case &c : cases) {
        HiveDiscard();
        HKEY services = Services();
        c.tamper(Hive());
        std::string tampered = Slurp(Hive());
        HKEY key = nullptr;
        testing::internal::CaptureStdout();
        EXPECT_EQ(ERROR_CANTWRITE, RegCreateKeyExA(services, "korvex1", 0, nullptr, 0,
                                                   KEY_ALL_ACCESS, nullptr, &key, nullptr))
            << c.what;
        EXPECT_NE(0, HiveFinish(0)) << c.what;
        std::string output = testing::internal::GetCapturedStdout();
        EXPECT_NE(std::string::npos, output.find("changed by another program")) << output;
        EXPECT_NE(std::string::npos, output.find("none of its changes were written")) << output;
        EXPECT_EQ(tampered, Slurp(Hive())) << c.what;
    }
}

// The uninstall removes the tree and writes nothing else; the install
// writes the key afresh, a change that must see the tree already gone.
TEST_F(HiveSessionTest, RemovedTreeLeavesTheHiveWhole) {
    for (bool recreate : {false, true}) {
        MakeOldService();
        size_t before = ServicesCount();
        RemoveTree(Services(), "korvex1");
        if (recreate) {
            DWORD disposition = 0;
            SetNumber(Create(Services(), "KORVEX1", &disposition), "Start", 0);
            EXPECT_EQ(DWORD{REG_CREATED_NEW_KEY}, disposition);
        }
        ASSERT_EQ(0, HiveFinish(0));
        EXPECT_EQ(before - (recreate ? 0 : 1), ServicesCount());
        Reader hive(Hive());
        hive_node_h key = hive.Find({"ControlSet001", "Services", "korvex1"});
        ASSERT_EQ(recreate, key != 0);
        if (recreate) {
            EXPECT_EQ(0u, hivex_node_nr_children(hive.hive, key));
            EXPECT_EQ(1u, hivex_node_nr_values(hive.hive, key));
        }
    }
}

TEST_F(HiveSessionTest, DeletionsShowBeforeTheyReachTheHive) {
    MakeOldService();
    HKEY old = Open("SYSTEM\\CurrentControlSet\\Services\\korvex1");
    EXPECT_EQ(40u, SubkeyCount(old));
    for (const char *name : {"Sub1", "sub2", "SUB3"})
        ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(old, name));
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(old, "Sub5"));
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(old, "Sub5\\Deeper"));
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(old, "Sub5\\Deeper2"));
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(old, "Sub5"));
    EXPECT_FALSE(HiveCurrent()->writable);
    EXPECT_EQ(36u, SubkeyCount(old));
    HKEY gone = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(old, "sub2", 0, KEY_READ, &gone));
    char name[32];
    std::vector<std::string> seen;
    for (DWORD i = 0; RegEnumKeyA(old, i, name, sizeof name) == ERROR_SUCCESS; i++)
        seen.push_back(name);
    ASSERT_EQ(36u, seen.size());
    EXPECT_EQ("Sub0", seen[0]);
    EXPECT_EQ("Sub10", seen[1]);
    DWORD disposition = 0;
    Create(old, "Sub2", &disposition);
    EXPECT_EQ(DWORD{REG_CREATED_NEW_KEY}, disposition);
    EXPECT_EQ(37u, SubkeyCount(old));
    ASSERT_EQ(0, HiveFinish(0));
    Reader hive(Hive());
    hive_node_h key = hive.Find({"ControlSet001", "Services", "korvex1"});
    EXPECT_EQ(37u, hivex_node_nr_children(hive.hive, key));
    EXPECT_EQ(0u, hive.Find({"ControlSet001", "Services", "korvex1", "Sub5"}));
    hive_node_h again = hive.Find({"ControlSet001", "Services", "korvex1", "Sub2"});
    ASSERT_NE(0u, again);
    EXPECT_EQ(0u, hivex_node_nr_values(hive.hive, again));
}

// hivex never makes two subkeys of one name, so the second one is made by
// renaming a key in the file; after the first is deleted, lookups must
// find the second, not report the name gone nor find the deleted one.
TEST_F(HiveSessionTest, DamagedHiveWithTwoSubkeysOfOneName) {
    HKEY services = Services();
    SetNumber(Create(services, "korvex1\\AAAA"), "One", 1);
    HKEY other = Create(services, "korvex1\\QQQQ");
    SetNumber(other, "One", 1);
    SetNumber(other, "Two", 2);
    ASSERT_EQ(0, HiveFinish(0));
    std::string bytes = Slurp(Hive());
    size_t at = bytes.find("QQQQ");
    ASSERT_NE(std::string::npos, at);
    bytes.replace(at, 4, "aaaa");
    std::ofstream(Hive(), std::ios::binary | std::ios::trunc) << bytes;
    HKEY old = Open("SYSTEM\\CurrentControlSet\\Services\\korvex1");
    ASSERT_EQ(2u, SubkeyCount(old));
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(old, "aaaa"));
    DWORD values = 0;
    EXPECT_EQ(ERROR_SUCCESS,
              RegQueryInfoKeyA(Open("AAAA", old), nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr, &values, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(2u, values);
    EXPECT_EQ(1u, SubkeyCount(old));
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(old, "AAAA"));
    EXPECT_EQ(0u, SubkeyCount(old));
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(Services(), "korvex1"));
    ASSERT_EQ(0, HiveFinish(0));
    EXPECT_EQ(0u, Reader(Hive()).Find({"ControlSet001", "Services", "korvex1"}));
}

TEST_F(HiveSessionTest, PoisonedRunRefusesDeletionsAndWritesNothing) {
    MakeOldService();
    std::string before = Slurp(Hive());
    HKEY old = Open("SYSTEM\\CurrentControlSet\\Services\\korvex1");
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(old, "Sub1"));
    HiveEndWrite(HiveCurrent(), false);
    EXPECT_EQ(ERROR_CANTWRITE, RegDeleteKeyA(old, "Sub4"));
    testing::internal::CaptureStdout();
    EXPECT_EQ(1, HiveFinish(0));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(before, Slurp(Hive()));
}

} // namespace
