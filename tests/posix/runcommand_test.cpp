// Which interpreter RunCommand starts, what it hands over and what it
// gives back, with small scripts standing in for the interpreter.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

std::string Slurp(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void Script(const fs::path &path, const std::string &body, mode_t mode = 0755) {
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    chmod(path.c_str(), mode);
}

// Restores the environment and working directory the tests change, since
// they share the process with everyone else's tests.
class RunCommandPosix : public testing::Test {
  protected:
    fs::path top;
    std::string savedPath, savedComspec, savedCwd;
    bool hadComspec = false;

    void SetUp() override {
        char dir[] = "/tmp/runcmdtest.XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        top = dir;
        savedPath = getenv("PATH") ? getenv("PATH") : "";
        hadComspec = getenv("COMSPEC") != nullptr;
        savedComspec = hadComspec ? getenv("COMSPEC") : "";
        savedCwd = fs::current_path();
        for (const char *sub : {"work", "bin", "noexec", "isdir/cmd.exe", "empty", "comspec"})
            fs::create_directories(top / sub);
        Script(top / "bin" / "cmd.exe", "exit 5");
        Script(top / "noexec" / "cmd.exe", "exit 6", 0644);
        Script(top / "comspec" / "exit3", "exit 3");
        Script(top / "comspec" / "noexec", "exit 7", 0644);
        Script(top / "comspec" / "killed", "kill -KILL $$");
        fs::current_path(top / "work");
    }
    void TearDown() override {
        fs::current_path(savedCwd);
        setenv("PATH", savedPath.c_str(), 1);
        if (hadComspec)
            setenv("COMSPEC", savedComspec.c_str(), 1);
        else
            unsetenv("COMSPEC");
        fs::remove_all(top);
    }

    // PATH entries are relative to the working directory, top/work.
    void Use(const char *comspec, const char *path) {
        if (comspec == nullptr)
            unsetenv("COMSPEC");
        else
            setenv("COMSPEC", (top / "comspec" / comspec).c_str(), 1);
        setenv("PATH", path, 1);
    }
};

struct Choice {
    const char *comspec; // a file in comspec/, or nullptr for unset
    bool inWorkingDir;   // a cmd.exe exiting 4 in the working directory
    const char *path;
    int expected;
};

const Choice choices[] = {
    {"exit3", true, "../bin", 3},
    {"killed", true, "../bin", -1},
    {nullptr, true, "../bin", 4},
    {nullptr, false, "../empty:../noexec:../isdir:../bin", 5},
    {"missing", false, "../bin", 5},
    {"noexec", true, "../bin", 4},
    {"noexec", false, "../noexec:../isdir", -1},
    {nullptr, false, "../empty", -1},
};

TEST_F(RunCommandPosix, FindsTheInterpreterAndPassesItsStatus) {
    for (const Choice &c : choices) {
        SCOPED_TRACE(std::string(c.comspec ? c.comspec : "unset") + " " + c.path);
        fs::remove(top / "work" / "cmd.exe");
        if (c.inWorkingDir)
            Script(top / "work" / "cmd.exe", "exit 4");
        Use(c.comspec, c.path);
        EXPECT_EQ(RunCommand("del x"), c.expected);
    }
}

TEST_F(RunCommandPosix, HandsOverTheTextUnchanged) {
    Script(top / "comspec" / "args", "printf '%s|' \"$#\" \"$@\" > " + (top / "args").string());
    Use("args", "");
    const char *text = "copy  \"C:\\a b\\x.sys\"\tC:\\dest & 'q' $HOME *";
    EXPECT_EQ(RunCommand(text), 0);
    EXPECT_EQ(Slurp(top / "args"), std::string("2|/c|") + text + "|");
}

// A line the tool has not finished stays in its buffer unless RunCommand
// flushes it, and would then come out after the interpreter's.
TEST_F(RunCommandPosix, ToolOutputComesFirst) {
    Script(top / "comspec" / "echo", "echo child");
    Use("echo", "");
    fflush(stdout);
    int saved = dup(1);
    int file = open((top / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(file, 0);
    dup2(file, 1);
    close(file);
    printf("before ");
    int status = RunCommand("x");
    printf("after\n");
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(Slurp(top / "out"), "before child\nafter\n");
}

} // namespace
