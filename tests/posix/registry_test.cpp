// The registry calls against real hives in temporary trees.  What they
// wrote is read back with hivex directly, after the session has committed,
// so that a test does not trust the code it checks.
#include "platform/platform.h"
#include "platform/posix/hive/hive.h"
#include "platform/posix/registry/registry.h"
#include "tests/posix/offlinetree.h"

#include <gtest/gtest.h>
#include <hivex.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

class RegistryTest : public OfflineTreeTest {
  protected:
    void Commit() {
        ASSERT_EQ(0, HiveFinish(0));
    }
    // Runs body in a child with stdout going to a file; returns its exit
    // status and, through output, what it printed.
    int InChild(const std::function<void()> &body, std::string *output = nullptr) {
        fflush(stdout);
        fs::path log = top / "child.log";
        pid_t pid = fork();
        if (pid == 0) {
            freopen(log.c_str(), "w", stdout);
            body();
            _exit(99);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        if (output != nullptr)
            *output = Slurp(log);
        fs::remove(log);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
};

TEST_F(RegistryTest, CurrentControlSetFollowsSelect) {
    struct Case {
        unsigned current, defaultSet;
        const char *warning;
    } cases[] = {
        {1, 1, ""},
        {2, 2, ""},
        {2, 1,
         "warning: offline hive: Select\\Current is ControlSet002 but Select\\Default is "
         "ControlSet001\n"},
    };
    for (const Case &c : cases) {
        HiveDiscard();
        MakeTree({c.current, c.defaultSet});
        std::string marker = "SYSTEM\\ControlSet00" + std::to_string(c.current) + "\\Services\\";
        Create(HKEY_LOCAL_MACHINE, (marker + "Mark").c_str());
        Commit();
        testing::internal::CaptureStdout();
        HKEY found = nullptr, again = nullptr;
        EXPECT_EQ(ERROR_SUCCESS,
                  RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\Mark", 0,
                                KEY_READ, &found));
        EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet", 0,
                                               KEY_READ, &again));
        fflush(stdout);
        EXPECT_EQ(c.warning, testing::internal::GetCapturedStdout()) << c.current;
    }
}

TEST_F(RegistryTest, SelectCurrentMustNameAnExistingSet) {
    HKEY select = Open("SYSTEM\\Select");
    DWORD three = 3;
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetValueExA(select, "current", 0, REG_DWORD, reinterpret_cast<BYTE *>(&three), 4));
    testing::internal::CaptureStdout();
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet", 0, KEY_READ, &key));
    EXPECT_NE(std::string::npos,
              testing::internal::GetCapturedStdout().find("names ControlSet003, which cannot"));
}

TEST_F(RegistryTest, PathsMatchIgnoringCase) {
    fs::path config = top / "WINNT/system32/config";
    fs::rename(config / "SYSTEM", config / "system");
    fs::rename(config, top / "WINNT/system32/CONFIG");
    fs::rename(top / "WINNT/system32", top / "WINNT/System32");
    setenv("SystemRoot", (top / "winnt").c_str(), 1);
    for (const char *path : {"SYSTEM\\CurrentControlSet\\Services\\EventLog\\System",
                             "system\\currentcontrolset\\services\\eventlog\\system",
                             "SyStEm\\CONTROLSET001\\SERVICES\\EventLOG\\SYSTEM\\"})
        EXPECT_NE(nullptr, Open(path));
    EXPECT_NE(nullptr, Open("eventlog\\SYSTEM", Services()));
}

TEST_F(RegistryTest, OpenRefusals) {
    struct Case {
        const char *path;
        LONG expected;
    } cases[] = {
        {"SOFTWARE\\Classes", ERROR_FILE_NOT_FOUND},
        {"SYSTEM\\NoSuchKey", ERROR_FILE_NOT_FOUND},
        {"SYSTEM\\\\Select", ERROR_INVALID_PARAMETER},
        {"\\SYSTEM", ERROR_INVALID_PARAMETER},
    };
    for (const Case &c : cases) {
        HKEY key = nullptr;
        EXPECT_EQ(c.expected, RegOpenKeyExA(HKEY_LOCAL_MACHINE, c.path, 0, KEY_READ, &key))
            << c.path;
        EXPECT_EQ(nullptr, key);
    }
}

TEST_F(RegistryTest, CreateOpensOrCreates) {
    HKEY services = Services();
    DWORD first = 0, second = 0, nested = 0, plain = 0;
    Create(services, "korvex1", &first);
    Create(services, "KORVEX1", &second);
    Create(services, "korvex2\\Parameters\\Device", &nested);
    // Only directly below the hive's root does the name stand for a set.
    Create(services, "CurrentControlSet", &plain);
    Create(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet", &second);
    EXPECT_EQ(DWORD{REG_CREATED_NEW_KEY}, first);
    EXPECT_EQ(DWORD{REG_OPENED_EXISTING_KEY}, second);
    EXPECT_EQ(DWORD{REG_CREATED_NEW_KEY}, nested);
    EXPECT_EQ(DWORD{REG_CREATED_NEW_KEY}, plain);
    Commit();
    Reader hive(Hive());
    EXPECT_NE(0u, hive.Find({"ControlSet001", "Services", "korvex1"}));
    EXPECT_NE(0u, hive.Find({"ControlSet001", "Services", "korvex2", "Parameters", "Device"}));
    EXPECT_EQ(0u, hive.Find({"CurrentControlSet"}));
}

TEST_F(RegistryTest, CreateOutsideSystemIsRefused) {
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\x", 0, nullptr, 0,
                                                   KEY_ALL_ACCESS, nullptr, &key, nullptr));
}

TEST_F(RegistryTest, ValuesAreStoredAsTheSystemStoresThem) {
    HKEY key = Create(Services(), "korvex1");
    const char text[] = "Caf\xe9 \x80";
    DWORD start = 0x01020304;
    auto bytes = [](const void *p) { return static_cast<const BYTE *>(p); };
    ASSERT_EQ(0, RegSetValueExA(key, "ImagePath", 0, REG_EXPAND_SZ, bytes(text), sizeof text));
    ASSERT_EQ(0, RegSetValueExA(key, "Group", 0, REG_SZ, bytes("SCSI"), 5));
    ASSERT_EQ(0, RegSetValueExA(key, "Start", 0, REG_DWORD, bytes(&start), 4));
    ASSERT_EQ(0, RegSetValueExA(key, "ErrorControl", 0, REG_DWORD, bytes(&start), 4));
    start = 0;
    ASSERT_EQ(0, RegSetValueExA(key, "START", 0, REG_DWORD, bytes(&start), 4));
    std::vector<BYTE> big(20000);
    EXPECT_EQ(ERROR_CANTWRITE, RegSetValueExA(key, "Big", 0, REG_BINARY, big.data(), 20000));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegSetValueExA(key, "Type", 0, REG_DWORD, bytes("ab"), 2));
    ASSERT_EQ(0, RegSetValueExA(key, "Property", 0, 0xFFFF0012, bytes("ab"), 2));
    Commit();
    Reader hive(Hive());
    std::vector<const char *> path = {"ControlSet001", "Services", "korvex1"};
    EXPECT_EQ(std::string("C\0a\0f\0\xe9\0 \0\xac\x20\0\0", 14), hive.Value(path, "ImagePath"));
    EXPECT_EQ(std::string("S\0C\0S\0I\0\0\0", 10), hive.Value(path, "Group"));
    EXPECT_EQ(std::string(4, '\0'), hive.Value(path, "Start"));
    EXPECT_EQ("\x04\x03\x02\x01", hive.Value(path, "ErrorControl"));
    EXPECT_EQ("ab", hive.Value(path, "Property"));
    EXPECT_EQ(5u, hivex_node_nr_values(hive.hive, hive.Find(path)));
    EXPECT_EQ("<none>", hive.Value(path, "Big"));
}

TEST_F(RegistryTest, DeleteRefusesKeysWithSubkeys) {
    HKEY services = Services();
    HKEY driver = Create(services, "korvex1\\Enum");
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(services, "korvex1"));
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SYSTEM"));
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteKeyA(services, "korvex2"));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(services, "korvex1\\enum"));
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(driver));
    Commit();
    Reader hive(Hive());
    EXPECT_NE(0u, hive.Find({"ControlSet001", "Services", "korvex1"}));
    EXPECT_EQ(0u, hive.Find({"ControlSet001", "Services", "korvex1", "Enum"}));
}

TEST_F(RegistryTest, KeyDeletedWhileItsHandleIsOpen) {
    HKEY services = Services();
    HKEY driver = Create(services, "korvex1");
    DWORD one = 1;
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(services, "korvex1"));
    Create(services, "korvex2");
    HKEY below = nullptr;
    EXPECT_EQ(ERROR_KEY_DELETED, RegOpenKeyExA(driver, "", 0, KEY_READ, &below));
    EXPECT_EQ(ERROR_KEY_DELETED,
              RegSetValueExA(driver, "Type", 0, REG_DWORD, reinterpret_cast<BYTE *>(&one), 4));
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(driver));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(driver));
    Commit();
    Reader hive(Hive());
    EXPECT_EQ(0u, hive.Find({"ControlSet001", "Services", "korvex1"}));
    EXPECT_NE(0u, hive.Find({"ControlSet001", "Services", "korvex2"}));
}

TEST_F(RegistryTest, QueryInfoComputesLongestNameFromChildren) {
    HKEY parent = Create(Services(), "korvex1");
    for (const char *name : {"A", "LongestChildName", "Mid"})
        Create(parent, name);
    DWORD one = 1;
    RegSetValueExA(parent, "Type", 0, REG_DWORD, reinterpret_cast<BYTE *>(&one), 4);
    DWORD subKeys = 0, longest = 0, values = 0;
    ASSERT_EQ(0, RegQueryInfoKeyA(parent, nullptr, nullptr, nullptr, &subKeys, &longest, nullptr,
                                  &values, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(3u, subKeys);
    EXPECT_EQ(16u, longest);
    EXPECT_EQ(1u, values);
    ASSERT_EQ(0, RegDeleteKeyA(parent, "LongestChildName"));
    ASSERT_EQ(0, RegQueryInfoKeyA(parent, nullptr, nullptr, nullptr, &subKeys, &longest, nullptr,
                                  nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(2u, subKeys);
    EXPECT_EQ(3u, longest);
}

TEST_F(RegistryTest, EnumerationInHiveOrder) {
    HKEY parent = Create(Services(), "korvex1");
    for (const char *name : {"b", "A", "Caf\xe9"})
        Create(parent, name);
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
    EXPECT_NE(0u, hive.Find({"ControlSet001", "Services", "korvex1", "Caf\xc3\xa9"}));
}

TEST_F(RegistryTest, CommitKeepsOwnerAndModeAndLeavesNoTemporary) {
    ASSERT_EQ(0, chmod(Hive().c_str(), 0640));
    ASSERT_EQ(0, chown(Hive().c_str(), 1234, 5678));
    fs::path stale = Hive().string() + ".commit-Xy12Zq";
    std::ofstream(stale) << "left by a killed run";
    Create(Services(), "korvex1");
    EXPECT_FALSE(fs::exists(stale));
    Commit();
    struct stat st;
    ASSERT_EQ(0, stat(Hive().c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 07777);
    EXPECT_EQ(1234u, st.st_uid);
    EXPECT_EQ(5678u, st.st_gid);
    EXPECT_EQ(1, std::distance(fs::directory_iterator(Hive().parent_path()), {}));
    EXPECT_NE(0u, Reader(Hive()).Find({"ControlSet001", "Services", "korvex1"}));
}

TEST_F(RegistryTest, RunWithoutChangesLeavesHiveByteIdentical) {
    std::string before = Slurp(Hive());
    HKEY services = Services();
    char name[64];
    RegEnumKeyA(services, 0, name, sizeof name);
    Create(services, "EventLog");
    std::vector<BYTE> big(20000);
    RegSetValueExA(services, "Big", 0, REG_BINARY, big.data(), 20000);
    EXPECT_EQ(7, InChild([] { EndProcess(7); }));
    EXPECT_EQ(before, Slurp(Hive()));
}

TEST_F(RegistryTest, EndProcessCommitsAndKeepsStatus) {
    EXPECT_EQ(4, InChild([this] {
                  Create(Services(), "korvex1");
                  EndProcess(4);
              }));
    EXPECT_NE(0u, Reader(Hive()).Find({"ControlSet001", "Services", "korvex1"}));
}

TEST_F(RegistryTest, FailedCommitLeavesHiveAndSaysSo) {
    std::string before = Slurp(Hive());
    struct Case {
        int status, expected;
        bool poison;
        const char *message;
    } cases[] = {
        {0, 1, false, "cannot write the new hive"},
        {3, 3, false, "cannot write the new hive"},
        {0, 1, true, "none of its changes were written"},
    };
    for (const Case &c : cases) {
        std::string output;
        int status = InChild(
            [&] {
                Create(Services(), "korvex1");
                if (c.poison)
                    HiveEndWrite(HiveCurrent(), false);
                signal(SIGXFSZ, SIG_IGN);
                struct rlimit limit = {4096, 4096};
                setrlimit(RLIMIT_FSIZE, &limit);
                EndProcess(c.status);
            },
            &output);
        EXPECT_EQ(c.expected, status);
        EXPECT_NE(std::string::npos, output.find(c.message)) << output;
        EXPECT_EQ(before, Slurp(Hive()));
        EXPECT_EQ(1, std::distance(fs::directory_iterator(Hive().parent_path()), {}));
    }
}

TEST_F(RegistryTest, ConcurrentWritersBothLand) {
    int gate[2];
    ASSERT_EQ(0, pipe(gate));
    std::vector<pid_t> writers;
    for (const char *name : {"korvex1", "korvex2"}) {
        fflush(stdout);
        pid_t pid = fork();
        if (pid == 0) {
            char byte;
            close(gate[1]);
            (void)!read(gate[0], &byte, 1);
            Create(Services(), name);
            usleep(200 * 1000);
            EndProcess(0);
        }
        writers.push_back(pid);
    }
    close(gate[0]);
    close(gate[1]);
    for (pid_t pid : writers) {
        int status = -1;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    Reader hive(Hive());
    EXPECT_NE(0u, hive.Find({"ControlSet001", "Services", "korvex1"}));
    EXPECT_NE(0u, hive.Find({"ControlSet001", "Services", "korvex2"}));
}

} // namespace
