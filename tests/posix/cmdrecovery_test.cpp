// A copy killed half way leaves its hidden temporary file beside the
// target.  The next copy to that target must remove it, and must leave
// alone any temporary file a live process is still writing, or one that
// belongs to another target.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

// A process id that no process has: one of a child that has been reaped.
pid_t DeadPid() {
    pid_t pid = fork();
    if (pid == 0)
        _exit(0);
    waitpid(pid, nullptr, 0);
    return pid;
}

void Touch(const fs::path &path) {
    std::ofstream(path) << "part";
}

TEST(CmdRecovery, CopyRemovesOnlyAbandonedTemporaries) {
    char dir[] = "/tmp/cmdrecovery.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir));
    fs::path top = dir;
    std::string dead = std::to_string(DeadPid()), live = std::to_string(getpid());
    struct Case {
        std::string name;
        bool removed;
    } cases[] = {
        {".korvex1.sys." + dead + ".0.tmp", true},       {".korvex1.sys." + dead + ".12.tmp", true},
        {".korvex1.sys." + live + ".0.tmp", false},      // still being written
        {".korvex1.sys.2.0." + dead + ".0.tmp", false},  // another target's
        {".korvex1.sys." + dead + ".0.tmp.keep", false}, // not of our making
        {".korvex1.sys.-" + dead + ".0.tmp", false},     // not of our making
        {".korvex2.sys." + dead + ".0.tmp", false},      // another target's
    };
    Touch(top / "korvex1.sys");
    fs::create_directory(top / "drivers");
    for (const Case &c : cases)
        Touch(top / "drivers" / c.name);
    std::string command = std::string(BUILD_DIR) + "/cmd.exe /c copy " +
                          (top / "korvex1.sys").string() + " " + (top / "drivers").string() +
                          " >/dev/null";
    ASSERT_EQ(0, system(command.c_str()));
    EXPECT_TRUE(fs::exists(top / "drivers/korvex1.sys"));
    for (const Case &c : cases)
        EXPECT_EQ(c.removed, !fs::exists(top / "drivers" / c.name)) << c.name;
    fs::remove_all(top);
}

} // namespace
