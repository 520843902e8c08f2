// What the unit tests share: a scratch directory below TMPDIR, whole-file
// reads and writes, an offline Windows tree, and hives read back with hivex
// rather than with the code under test.
#ifndef DRVINST_TEST_FIXTURE_H
#define DRVINST_TEST_FIXTURE_H

#include "platform/platform.h"
#include "platform/posix/hive/hive.h"

#include <gtest/gtest.h>
#include <hivex.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace fs = std::filesystem;

inline std::string Slurp(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void Spill(const fs::path &path, const std::string &bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// A base block changed by hand, its checksum made to match again.
inline void Reseal(std::string &bytes) {
    auto *base = reinterpret_cast<uint8_t *>(&bytes[0]);
    WriteLe32(base + kChecksumOffset, BaseBlockChecksum(base));
}

class ScratchTest : public testing::Test {
  protected:
    fs::path top;
    void SetUp() override {
        const char *tmp = getenv("TMPDIR");
        std::string dir = std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/drvinst.XXXXXX";
        ASSERT_NE(mkdtemp(&dir[0]), nullptr) << dir;
        top = dir;
    }
    void TearDown() override {
        fs::remove_all(top);
    }
};

// WINNT/system32/{drivers,config/SYSTEM} below top, named by SystemRoot.
class TreeTest : public ScratchTest {
  protected:
    std::vector<HKEY> opened; // closed at the end, so that no handle leaks
    void SetUp() override {
        ScratchTest::SetUp();
        MakeTree(TreeLayout());
    }
    void TearDown() override {
        for (HKEY key : opened)
            RegCloseKey(key);
        HiveDiscard();
        unsetenv("SystemRoot");
        ScratchTest::TearDown();
    }
    void MakeTree(const TreeLayout &layout) {
        HiveDiscard();
        fs::remove_all(top / "WINNT");
        std::string error;
        ASSERT_TRUE(MakeWindowsTree(top, layout, &error)) << error;
        setenv("SystemRoot", (top / "WINNT").c_str(), 1);
    }
    fs::path Hive() const {
        return top / "WINNT/system32/config/SYSTEM";
    }
    HKEY Open(const char *path, HKEY base = HKEY_LOCAL_MACHINE) {
        HKEY key = nullptr;
        EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(base, path, 0, KEY_READ, &key)) << path;
        opened.push_back(key);
        return key;
    }
    HKEY Create(HKEY base, const std::string &path, DWORD *disposition = nullptr,
                char *keyClass = nullptr) {
        HKEY key = nullptr;
        EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExA(base, path.c_str(), 0, keyClass, 0, KEY_ALL_ACCESS,
                                                 nullptr, &key, disposition))
            << path;
        opened.push_back(key);
        return key;
    }
    HKEY Services() {
        return Open("SYSTEM\\CurrentControlSet\\Services");
    }
    void SetNumber(HKEY key, const char *name, DWORD number) {
        EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(key, name, 0, REG_DWORD,
                                                reinterpret_cast<const BYTE *>(&number), 4));
    }
};

// A hive opened with hivex for checking.
struct Reader {
    hive_h *hive;
    explicit Reader(const fs::path &path) : hive(hivex_open(path.c_str(), 0)) {}
    ~Reader() {
        if (hive != nullptr)
            hivex_close(hive);
    }
    hive_node_h Find(const std::vector<const char *> &path) const {
        hive_node_h node = hive == nullptr ? 0 : hivex_root(hive);
        for (const char *name : path)
            node = node == 0 ? 0 : hivex_node_get_child(hive, node, name);
        return node;
    }
    // The key's value, its raw bytes, or "<none>".
    std::string Value(const std::vector<const char *> &path, const char *name) const {
        hive_node_h node = Find(path);
        hive_value_h value = node == 0 ? 0 : hivex_node_get_value(hive, node, name);
        if (value == 0)
            return "<none>";
        hive_type type;
        size_t length = 0;
        char *data = hivex_value_value(hive, value, &type, &length);
        std::string out(data, length);
        free(data);
        return out;
    }
};

#endif
