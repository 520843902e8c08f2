// Our cmd.exe run as the tool runs it, against a real directory tree, and
// RunCommand's choice of interpreter, with scripts standing in for it.
#include "fixture.h"

#include <sys/stat.h>
#include <sys/wait.h>

#include <sstream>

namespace {

struct Outcome {
    int status = -1;
    std::string out, err;
};

class Interpreter : public ScratchTest {
  protected:
    fs::path root;

    void SetUp() override {
        ScratchTest::SetUp();
        root = top / "tree";
        fs::create_directories(root / "Src Dir");
        fs::create_directories(root / "Dest");
        Spill(root / "Src Dir" / "Driver.SYS", "driver");
        Spill(root / "Src Dir" / "OLD.sys", "new");
        Spill(root / "Dest" / "Old.SYS", "old");
        Spill(root / "ReadOnly.sys", "ro");
        chmod((root / "ReadOnly.sys").c_str(), 0444);
        // Below SystemRoot, a link that leads out of the tree.
        fs::create_directories(top / "outside");
        Spill(top / "outside" / "Old.SYS", "host");
        fs::create_directory_symlink("../../outside", root / "Dest" / "Out");
        setenv("SystemRoot", root.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("SystemRoot");
        ScratchTest::TearDown();
    }

    // cmd.exe /c text, its output caught; "@" stands for the tree's root.
    Outcome Interpret(std::string text) {
        for (size_t at; (at = text.find('@')) != std::string::npos;)
            text.replace(at, 1, root.string());
        for (size_t at = 0; (at = text.find('\'', at)) != std::string::npos; at += 4)
            text.replace(at, 1, "'\\''");
        std::string out = (top / "out").string(), err = (top / "err").string();
        int status =
            system((BUILD_DIR "/cmd.exe /c '" + text + "' >'" + out + "' 2>'" + err + "'").c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, Slurp(out), Slurp(err)};
    }
};

const char *const Copied = "        1 file(s) copied.\n";
const char *const Gone = nullptr;

struct Case {
    const char *command;
    int status;
    const char *out;
    const char *err; // expected within stderr; "" for silence
    std::vector<std::pair<const char *, const char *>> after; // file, content
};

// clang-format off
const Case cases[] = {
    {"copy \"@\\src dir\\DRIVER.sys\" @\\DEST", 0, Copied, "", {{"Dest/Driver.SYS", "driver"}}},
    {"copy @\\missing.sys @\\dest", 1, "", "missing.sys", {{"Dest/missing.sys", Gone}}},
    {"copy \"@\\src dir\\driver.sys\" @\\nodir\\x.sys", 1, "", "nodir", {{"nodir", Gone}}},
    {"copy \"@\\src dir\" @\\dest", 1, "", "Src Dir", {{"Dest/Src Dir", Gone}}},
    {"copy /dev/null @\\dest", 1, "", "/dev/null: not a regular file", {{"Dest/null", Gone}}},
    {"copy \"@\\src dir\\driver.sys\" \"@\\Src Dir\"", 1, "", "onto itself",
        {{"Src Dir/Driver.SYS", "driver"}}},
    {"copy \"@\\src dir\\driver.sys\" @\\readonly.sys", 1, "", "ReadOnly", {{"ReadOnly.sys", "ro"}}},
    // Reading this file fails part way, after the temporary copy exists.
    {"copy /proc/self/mem @\\dest\\mem", 1, "", "mem", {{"Dest/mem", Gone}}},
    {"MOVE \"@\\src dir\\driver.sys\" @\\dest\\OLD.sys", 0, "", "",
        {{"Dest/Old.SYS", "driver"}, {"Src Dir/Driver.SYS", Gone}}},
    {"move @\\missing.sys @\\dest", 1, "", "missing.sys", {{"Dest/missing.sys", Gone}}},
    {"move \"@\\src dir\\driver.sys\" @\\READONLY.sys", 1, "", "ReadOnly",
        {{"ReadOnly.sys", "ro"}, {"Src Dir/Driver.SYS", "driver"}}},
    {"del @\\DEST\\old.sys @\\missing.sys", 0, "", "Could Not Find", {{"Dest/Old.SYS", Gone}}},
    {"del @\\readonly.sys", 1, "", "ReadOnly.sys", {{"ReadOnly.sys", "ro"}}},
    {"DEL /F @\\READONLY.SYS", 0, "", "", {{"ReadOnly.sys", Gone}}},
    {"del @\\dest", 1, "", "Dest", {{"Dest/Old.SYS", "old"}}},
    {"del /Q @\\dest\\old.sys", 1, "", "Invalid switch", {{"Dest/Old.SYS", "old"}}},
    {"format @", 1, "", "'format' is not recognized", {}},
    // A link out of the tree is refused, whichever command reaches it.
    {"copy \"@\\src dir\\driver.sys\" @\\dest\\out", 1, "", "offline tree: ",
        {{"../outside/Driver.SYS", Gone}}},
    {"move \"@\\src dir\\driver.sys\" @\\dest\\out\\old.sys", 1, "", "offline tree: ",
        {{"../outside/Old.SYS", "host"}, {"Src Dir/Driver.SYS", "driver"}}},
    {"del @\\dest\\out\\old.sys", 1, "", "offline tree: ", {{"../outside/Old.SYS", "host"}}},
    // Nothing runs when part of the text could not be honoured.
    {"del @\\dest\\old.sys & del @\\readonly.sys", 1, "", "'&'", {{"Dest/Old.SYS", "old"}}},
};
// clang-format on

TEST_F(Interpreter, CommandTable) {
    for (const Case &c : cases) {
        SCOPED_TRACE(c.command);
        TearDown();
        SetUp();
        Outcome got = Interpret(c.command);
        EXPECT_EQ(got.status, c.status);
        EXPECT_EQ(got.out, c.out);
        EXPECT_TRUE(*c.err ? got.err.find(c.err) != std::string::npos : got.err.empty()) << got.err;
        // Whoever reads the tool's output tells our lines apart by this.
        std::istringstream lines(got.err);
        for (std::string line; std::getline(lines, line);)
            EXPECT_EQ(line.rfind("cmd.exe: ", 0), 0u) << line;
        for (const auto &[file, content] : c.after)
            EXPECT_EQ(fs::exists(root / file) ? Slurp(root / file) : "<gone>",
                      content == Gone ? "<gone>" : content)
                << file;
        for (const auto &entry : fs::recursive_directory_iterator(root))
            EXPECT_NE(entry.path().filename().string()[0], '.') << "stray " << entry.path();
    }
}

// A copy killed half way leaves its hidden temporary beside the target; the
// next copy to that target removes it, and no one else's.
TEST_F(Interpreter, CopyRemovesOnlyAbandonedTemporaries) {
    pid_t pid = fork();
    if (pid == 0)
        _exit(0);
    waitpid(pid, nullptr, 0);
    std::string dead = std::to_string(pid), live = std::to_string(getpid());
    std::pair<std::string, bool> temporaries[] = {
        {".Driver.SYS." + dead + ".0.tmp", true},       {".Driver.SYS." + dead + ".12.tmp", true},
        {".Driver.SYS." + live + ".0.tmp", false},     // still being written
        {".Driver.SYS.2.0." + dead + ".0.tmp", false}, // another target's
        {".Driver.SYS." + dead + ".0.tmp.keep", false}, {".Driver.SYS.-" + dead + ".0.tmp", false},
    };
    for (const auto &[name, removed] : temporaries)
        Spill(root / "Dest" / name, "part");
    ASSERT_EQ(0, Interpret("copy \"@\\src dir\\driver.sys\" @\\dest").status);
    for (const auto &[name, removed] : temporaries)
        EXPECT_EQ(removed, !fs::exists(root / "Dest" / name)) << name;
}

// RunCommand against scripts: COMSPEC's, and cmd.exe in the working
// directory, top/work, and along PATH, which must never run; without a
// usable COMSPEC the real cmd.exe beside this program deletes x silently.
// Each prints its status after the tool's unfinished text, which must
// come out first.
class RunCommandTest : public ScratchTest {
  protected:
    std::string savedPath = getenv("PATH"), savedCwd = fs::current_path();

    void Script(const char *path, const char *body, mode_t mode = 0755) {
        std::ofstream(top / path) << "#!/bin/sh\n" << body << "\n";
        chmod((top / path).c_str(), mode);
    }
    void TearDown() override {
        fs::current_path(savedCwd);
        setenv("PATH", savedPath.c_str(), 1);
        unsetenv("COMSPEC");
        ScratchTest::TearDown();
    }
};

TEST_F(RunCommandTest, TakesComspecOrItsOwnInterpreterFlushesFirstAndPassesItsStatus) {
    for (const char *sub : {"work", "bin", "comspec/isdir"})
        fs::create_directories(top / sub);
    Script("work/cmd.exe", "printf 4; exit 4");
    Script("bin/cmd.exe", "printf 5; exit 5");
    Script("comspec/exit3", "printf 3; exit 3");
    Script("comspec/noexec", "printf 7; exit 7", 0644);
    Script("comspec/killed", "kill -KILL $$");
    fs::current_path(top / "work");
    setenv("PATH", ".:../bin", 1);
    const std::pair<const char *, int> choices[] = {{"exit3", 3},   {"killed", -1}, {nullptr, 0},
                                                    {"missing", 0}, {"noexec", 0},  {"isdir", 0}};
    for (const auto &[comspec, expected] : choices) {
        SCOPED_TRACE(comspec ? comspec : "unset");
        Spill(top / "work" / "x", "");
        if (comspec == nullptr)
            unsetenv("COMSPEC");
        else
            setenv("COMSPEC", (top / "comspec" / comspec).c_str(), 1);
        testing::internal::CaptureStdout();
        printf("before ");
        int status = RunCommand("del x");
        fflush(stdout);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "before " + (status <= 0 ? "" : std::to_string(status)));
        EXPECT_EQ(status, expected);
        EXPECT_EQ(fs::exists(top / "work" / "x"), expected != 0);
    }
}

} // namespace
