// A fixture for tests that need a whole offline Windows tree: a temporary
// directory with WINNT/system32/{drivers,config/SYSTEM}, SystemRoot pointing
// at it for the test, and everything put back afterwards.
#ifndef DRVINST_TEST_OFFLINETREE_H
#define DRVINST_TEST_OFFLINETREE_H

#include "platform/platform.h"
#include "platform/posix/hivesession.h"
#include "platform/posix/hivetree.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

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

#endif
