#include "driverfile/driverfile.h"
#include "tests/core/harness.h"

struct ParseCase {
    std::string text; // the characters the query hands over, zero included if counted
    bool result;
    int32_t major, minor;
    const char *verbose;
};

static std::string Counted(const char *text) {
    return std::string(text) + '\0';
}

TEST(VersionParse, FollowsTheReportedCount) {
    const ParseCase cases[] = {
        {"2.01", true, 2, 1, ""},
        {"2.10", true, 2, 10, ""},
        {"4.00.1381.1", true, 4, 0, ""},
        {"  3.2", true, 3, 2, ""},
        {"3.2 (beta)", true, 3, 2, ""},
        {".5", false, 0, 0, "Dot character can not lead the string\n"},
        {"  .5", false, 0, 0, "Dot character can not lead the string\n"},
        {"7", false, 0, 0, ""},
        {Counted("7"), true, 0, 0, "Non-digit character exists. 00\n"},
        {"", false, 0, 0, ""},
        {"   ", false, 0, 0, ""},
        {Counted(""), true, 0, 0, "Non-digit character exists. 00\n"},
        {Counted("   "), true, 0, 0, "Non-digit character exists. 00\n"},
        {"7.", true, 7, 0, ""},
        {"7.x", true, 7, 0, ""},
        {Counted("2.1"), true, 2, 1, ""},
        {"v1.2", true, 0, 0, "Non-digit character exists. 76\n"},
        {"1 .2", true, 0, 0, "Non-digit character exists. 20\n"},
        {"\xe9.1", true, 0, 0, "Non-digit character exists. e9\n"},
        {"2147483647.2147483647", true, 2147483647, 2147483647, ""},
        {"2147483648.1", false, 0, 0, "Version number too large\n"},
        {"1.99999999999", false, 0, 0, "Version number too large\n"},
        {"00000000000000000001.2", true, 1, 2, ""},
    };
    for (const ParseCase &c : cases) {
        state = InstallerState();
        state.verboseFlag = 1;
        int32_t major = -1, minor = -1;
        bool result = false;
        Outcome out = Capture([&] {
            result = ParseFileVersion(c.text.data(), static_cast<uint32_t>(c.text.size()), &major,
                                      &minor);
        });
        EXPECT_EQ(result, c.result) << c.text;
        EXPECT_EQ(out.output, c.verbose) << c.text;
        if (c.result) {
            EXPECT_EQ(major, c.major) << c.text;
            EXPECT_EQ(minor, c.minor) << c.text;
        }
    }
}

// The count, not a terminator, bounds the scan: characters past it are
// never read, and a zero inside it is an ordinary non-digit.
TEST(VersionParse, NeverLooksPastTheCount) {
    int32_t major = -1, minor = -1;
    EXPECT_TRUE(ParseFileVersion("2.1999", 4, &major, &minor));
    EXPECT_EQ(minor, 19);
    EXPECT_FALSE(ParseFileVersion("7.1", 1, &major, &minor));
    EXPECT_FALSE(ParseFileVersion("7.1", 0, &major, &minor));
}

TEST(VersionProbe, VerboseLinePadsToTheReportedCount) {
    fake::Reset();
    state = InstallerState();
    state.verboseFlag = 1;
    fake::state.versions["k.sys"] = {"2.1", 4};
    int32_t major = 0, minor = 0;
    Outcome out = Capture([&] { EXPECT_TRUE(GetFileVersion("k.sys", &major, &minor)); });
    EXPECT_EQ(out.output, "k.sys FileVersion :  2.1\n");
    fake::state.versions["k.sys"] = {"2.1", 3};
    out = Capture([&] { EXPECT_TRUE(GetFileVersion("k.sys", &major, &minor)); });
    EXPECT_EQ(out.output, "k.sys FileVersion : 2.1\n");
    out = Capture([&] { EXPECT_FALSE(GetFileVersion("missing.sys", &major, &minor)); });
    EXPECT_EQ(out.output, "");
}
