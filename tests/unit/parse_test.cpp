// The version text as the query hands it over, with its count: the parse
// must stop at the count, never at a terminator, and say why it refused.
#include "driverfile/driverfile.h"
#include "front/state.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct ParseCase {
    std::string text; // the characters handed over, a zero included when counted
    bool result;
    int32_t major, minor;
    const char *verbose;
};

const std::string z(1, '\0');
const char *const nonDigit = "Non-digit character exists. 00\n";
const char *const leadingDot = "Dot character can not lead the string\n";
const char *const tooLarge = "Version number too large\n";

TEST(ParseFileVersion, FollowsTheReportedCount) {
    const ParseCase cases[] = {
        {"2.01", true, 2, 1, ""},
        {"2.10", true, 2, 10, ""},
        {"4.00.1381.1", true, 4, 0, ""},
        {"  3.2", true, 3, 2, ""},
        {"3.2 (beta)", true, 3, 2, ""},
        {".5", false, 0, 0, leadingDot},
        {"  .5", false, 0, 0, leadingDot},
        {"7", false, 0, 0, ""},
        {"7" + z, true, 0, 0, nonDigit},
        {"", false, 0, 0, ""},
        {"   ", false, 0, 0, ""},
        {z, true, 0, 0, nonDigit},
        {"   " + z, true, 0, 0, nonDigit},
        {"7.", true, 7, 0, ""},
        {"7.x", true, 7, 0, ""},
        {"2.1" + z, true, 2, 1, ""},
        {"2.1999", true, 2, 1999, ""},
        {"v1.2", true, 0, 0, "Non-digit character exists. 76\n"},
        {"1 .2", true, 0, 0, "Non-digit character exists. 20\n"},
        {"\xe9.1", true, 0, 0, "Non-digit character exists. e9\n"},
        {"2147483647.2147483647", true, 2147483647, 2147483647, ""},
        {"2147483648.1", false, 0, 0, tooLarge},
        {"1.2147483648", false, 0, 0, tooLarge},
        {"00000000000000000001.2", true, 1, 2, ""},
    };
    for (const ParseCase &c : cases) {
        state = InstallerState();
        state.verboseFlag = 1;
        int32_t major = -1, minor = -1;
        // Exactly as large as the count, so that a read past it is caught.
        std::vector<char> text(c.text.begin(), c.text.end());
        testing::internal::CaptureStdout();
        bool result =
            ParseFileVersion(text.data(), static_cast<uint32_t>(text.size()), &major, &minor);
        fflush(stdout);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.verbose) << c.text;
        EXPECT_EQ(result, c.result) << c.text;
        if (c.result) {
            EXPECT_EQ(major, c.major) << c.text;
            EXPECT_EQ(minor, c.minor) << c.text;
        }
    }
    int32_t major = -1, minor = -1; // digits past the count are not the version's
    EXPECT_TRUE(ParseFileVersion("2.1999", 4, &major, &minor));
    EXPECT_EQ(minor, 19);
}

} // namespace
