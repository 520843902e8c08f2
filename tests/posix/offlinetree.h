// A fixture for tests that need a whole offline Windows tree: a temporary
// directory with WINNT/system32/{drivers,config/SYSTEM}, SystemRoot pointing
// at it for the test, and everything put back afterwards.
#ifndef DRVINST_TEST_OFFLINETREE_H
#define DRVINST_TEST_OFFLINETREE_H

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

class OfflineTreeTest : public testing::Test {
  protected:
    std::filesystem::path top;
    std::string savedRoot;
    bool hadRoot = false;

    void SetUp() override {
        char dir[] = "/tmp/drvinst-tree.XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        top = dir;
        hadRoot = getenv("SystemRoot") != nullptr;
        savedRoot = hadRoot ? getenv("SystemRoot") : "";
        MakeTree(TreeLayout());
    }
    void TearDown() override {
        HiveDiscard();
        std::filesystem::remove_all(top);
        if (hadRoot)
            setenv("SystemRoot", savedRoot.c_str(), 1);
        else
            unsetenv("SystemRoot");
    }
    void MakeTree(const TreeLayout &layout) {
        std::filesystem::remove_all(top / "WINNT");
        std::string error;
        ASSERT_TRUE(MakeWindowsTree(top, layout, &error)) << error;
        setenv("SystemRoot", (top / "WINNT").c_str(), 1);
    }
    std::filesystem::path Hive() const {
        return top / "WINNT/system32/config/SYSTEM";
    }
    HKEY Open(const char *path, HKEY base = HKEY_LOCAL_MACHINE) {
        HKEY key = nullptr;
        EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(base, path, 0, KEY_READ, &key)) << path;
        return key;
    }
    HKEY Create(HKEY base, const std::string &path, DWORD *disposition = nullptr) {
        HKEY key = nullptr;
        EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExA(base, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                                 nullptr, &key, disposition))
            << path;
        return key;
    }
    HKEY Services() {
        return Open("SYSTEM\\CurrentControlSet\\Services");
    }
};

inline std::string Slurp(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A hive opened with hivex for checking, closed when the test is done.
struct Reader {
    hive_h *hive;
    explicit Reader(const std::filesystem::path &path) : hive(hivex_open(path.c_str(), 0)) {}
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
    // The raw data of a value, or "<none>".
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
