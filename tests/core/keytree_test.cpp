#include "registry/registry.h"
#include "tests/core/harness.h"

static const char top[] = "SYSTEM\\T";

static HKEY Open(const std::string &path) {
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key), 0);
    return key;
}

TEST(KeyTree, EmptiesDepthFirstAndKeepsTheKey) {
    fake::Reset();
    state = InstallerState();
    fake::AddKey(std::string(top) + "\\a\\b\\c");
    fake::AddKey(std::string(top) + "\\a\\b2");
    fake::AddKey(std::string(top) + "\\longer-name");
    HKEY key = Open(top);
    EXPECT_EQ(DeleteSubKeys(key), 0);
    EXPECT_TRUE(fake::HasKey(top));
    EXPECT_TRUE(fake::SubKeys(top).empty());
    std::vector<std::string> expected = {"SYSTEM\\T\\a\\b\\c", "SYSTEM\\T\\a\\b",
                                         "SYSTEM\\T\\a\\b2", "SYSTEM\\T\\a",
                                         "SYSTEM\\T\\longer-name"};
    EXPECT_EQ(fake::state.deletions, expected);
    RegCloseKey(key);
    EXPECT_EQ(fake::OpenHandles(), 0);
}

TEST(KeyTree, FailuresLeaveTheNamedKey) {
    fake::Reset();
    state = InstallerState();
    state.verboseFlag = 1;
    fake::AddKey(std::string(top) + "\\x\\y");
    fake::state.enumFailIndex = 0;
    Outcome out = Capture([] { RemoveKeyTree(Open("SYSTEM"), "T"); });
    EXPECT_EQ(out.output, "Failed to enumerate subKey 0\n");
    EXPECT_TRUE(fake::HasKey(std::string(top) + "\\x\\y"));

    fake::state.enumFailIndex = -1;
    fake::state.failOpen.insert(std::string(top) + "\\x\\y");
    out = Capture([] { RemoveKeyTree(Open("SYSTEM"), "T"); });
    EXPECT_EQ(out.output, "");
    EXPECT_TRUE(fake::HasKey(top));

    out = Capture([] { RemoveKeyTree(Open("SYSTEM"), "absent"); });
    EXPECT_EQ(out.output, "");
    EXPECT_TRUE(fake::state.deletions.empty());
}
