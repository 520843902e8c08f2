// The interpreter run as the tool runs it, against a real directory tree.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

namespace fs = std::filesystem;

struct Outcome {
    int status = -1;
    std::string out, err;
};

std::string Slurp(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void Put(const fs::path &path, const std::string &bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

class CmdInterpreter : public testing::Test {
  protected:
    fs::path root, logs;

    void SetUp() override {
        char dir[] = "/tmp/cmdtest.XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        logs = dir;
        root = logs / "tree";
        fs::create_directories(root / "Src Dir");
        fs::create_directories(root / "Dest");
        Put(root / "Src Dir" / "Driver.SYS", "driver");
        Put(root / "Src Dir" / "OLD.sys", "new");
        Put(root / "Dest" / "Old.SYS", "old");
        Put(root / "ReadOnly.sys", "ro");
        chmod((root / "ReadOnly.sys").c_str(), 0444);
    }
    void TearDown() override {
        fs::remove_all(logs);
    }

    // Runs cmd.exe with the given arguments after its name, output caught.
    Outcome Run(std::vector<std::string> args) {
        std::string program = BUILD_DIR "/cmd.exe";
        std::vector<char *> argv{&program[0]};
        for (std::string &arg : args)
            argv.push_back(&arg[0]);
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        int flags = O_WRONLY | O_CREAT | O_TRUNC;
        posix_spawn_file_actions_addopen(&actions, 1, (logs / "out").c_str(), flags, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, (logs / "err").c_str(), flags, 0644);
        pid_t pid;
        Outcome outcome;
        int status = 0;
        if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) == 0 &&
            waitpid(pid, &status, 0) == pid && WIFEXITED(status))
            outcome.status = WEXITSTATUS(status);
        posix_spawn_file_actions_destroy(&actions);
        outcome.out = Slurp(logs / "out");
        outcome.err = Slurp(logs / "err");
        return outcome;
    }

    // "@" in a command stands for the tree's root.
    Outcome Interpret(std::string text) {
        for (size_t at; (at = text.find('@')) != std::string::npos;)
            text.replace(at, 1, root.string());
        return Run({"/c", text});
    }

    // A copy that failed or succeeded must not leave its temporary file.
    void ExpectNoStrays() {
        for (const auto &entry : fs::recursive_directory_iterator(root))
            EXPECT_NE(entry.path().filename().string()[0], '.') << entry.path();
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
    {"COPY \"@\\SRC DIR\\driver.sys\" \"@\\dest\\New Name.sys\"", 0, Copied, "",
        {{"Dest/New Name.sys", "driver"}}},
    {"Copy /y \"@\\src dir\\old.sys\" @\\dest", 0, Copied, "",
        {{"Dest/Old.SYS", "new"}, {"Dest/OLD.sys", Gone}}},
    {"copy \"@\\src dir\\driver.sys\" \"@\\dest\\a&b;c.sys\"", 0, Copied, "",
        {{"Dest/a&b;c.sys", "driver"}}},
    {"copy \"/y\" \"@\\src dir\\driver.sys\" @\\dest", 1, "", "syntax", {}},
    {"copy @\\missing.sys @\\dest", 1, "", "missing.sys", {{"Dest/missing.sys", Gone}}},
    {"copy \"@\\src dir\\driver.sys\" @\\nodir\\x.sys", 1, "", "nodir", {{"nodir", Gone}}},
    {"copy \"@\\src dir\" @\\dest", 1, "", "Src Dir", {{"Dest/Src Dir", Gone}}},
    {"copy /dev/null @\\dest", 1, "", "/dev/null: not a regular file", {{"Dest/null", Gone}}},
    {"copy \"@\\src dir\\driver.sys\" \"@\\Src Dir\"", 1, "", "onto itself",
        {{"Src Dir/Driver.SYS", "driver"}}},
    {"copy \"@\\src dir\\driver.sys\" @\\readonly.sys", 1, "", "ReadOnly", {{"ReadOnly.sys", "ro"}}},
    // Reading this file fails part way, after the temporary copy exists.
    {"copy /proc/self/mem @\\dest\\mem", 1, "", "mem", {{"Dest/mem", Gone}}},
    {"move \"@\\src dir\\driver.sys\" @\\DEST", 0, "", "",
        {{"Dest/Driver.SYS", "driver"}, {"Src Dir/Driver.SYS", Gone}}},
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
    // Nothing runs when part of the text could not be honoured.
    {"del @\\dest\\old.sys & del @\\readonly.sys", 1, "", "'&'", {{"Dest/Old.SYS", "old"}}},
};
// clang-format on

TEST_F(CmdInterpreter, CommandTable) {
    for (const Case &c : cases) {
        SCOPED_TRACE(c.command);
        TearDown();
        SetUp();
        Outcome got = Interpret(c.command);
        EXPECT_EQ(got.status, c.status);
        EXPECT_EQ(got.out, c.out);
        if (c.err[0] == '\0')
            EXPECT_EQ(got.err, "");
        else
            EXPECT_NE(got.err.find(c.err), std::string::npos) << got.err;
        // Whoever reads the tool's output tells our lines apart by this.
        std::istringstream lines(got.err);
        for (std::string line; std::getline(lines, line);)
            EXPECT_EQ(line.rfind("cmd.exe: ", 0), 0u) << line;
        for (const auto &[file, content] : c.after) {
            if (content == Gone)
                EXPECT_FALSE(fs::exists(root / file)) << file;
            else
                EXPECT_EQ(Slurp(root / file), content) << file;
        }
        ExpectNoStrays();
    }
}

// Below SystemRoot a link that leads out of the tree is refused, whichever
// command reaches it, and nothing is changed on either side.
TEST_F(CmdInterpreter, StaysInsideTheTreeSystemRootNames) {
    fs::create_directories(logs / "outside");
    Put(logs / "outside" / "Old.SYS", "host");
    fs::create_directory_symlink("../../outside", root / "Dest" / "Out");
    setenv("SystemRoot", root.c_str(), 1);
    for (const char *command :
         {"copy \"@\\src dir\\driver.sys\" @\\dest\\out",
          "move \"@\\src dir\\driver.sys\" @\\dest\\out\\old.sys", "del @\\dest\\out\\old.sys"}) {
        Outcome got = Interpret(command);
        EXPECT_EQ(got.status, 1) << command;
        EXPECT_NE(got.err.find("offline tree: "), std::string::npos) << got.err;
    }
    unsetenv("SystemRoot");
    EXPECT_EQ(Slurp(logs / "outside" / "Old.SYS"), "host");
    EXPECT_EQ(std::distance(fs::directory_iterator(logs / "outside"), {}), 1);
    EXPECT_EQ(Slurp(root / "Src Dir" / "Driver.SYS"), "driver");
}

TEST_F(CmdInterpreter, CopyIsByteIdenticalAndKeepsAttributes) {
    std::string bytes;
    for (size_t i = 0; i < 300001; i++)
        bytes += static_cast<char>((i * 7919 + i / 256) & 0xff);
    Put(root / "Big.bin", bytes);
    chmod((root / "Big.bin").c_str(), 0444);
    timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
    utimensat(AT_FDCWD, (root / "Big.bin").c_str(), old, 0);
    EXPECT_EQ(Interpret("copy @\\big.BIN @\\dest").status, 0);
    EXPECT_EQ(Slurp(root / "Dest" / "Big.bin"), bytes);
    struct stat st;
    ASSERT_EQ(stat((root / "Dest" / "Big.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0222, 0u);
    EXPECT_EQ(st.st_mtim.tv_sec, 1000000000);
}

TEST_F(CmdInterpreter, MoveBetweenFileSystems) {
    struct stat here, shm;
    if (stat("/dev/shm", &shm) != 0 || stat(root.c_str(), &here) != 0 || here.st_dev == shm.st_dev)
        GTEST_SKIP() << "no second file system at hand";
    fs::path away = fs::path("/dev/shm") / ("cmdtest." + std::to_string(getpid()));
    Put(away, "far");
    Outcome got = Interpret("move " + away.string() + " @\\Dest");
    EXPECT_EQ(got.status, 0) << got.err;
    EXPECT_FALSE(fs::exists(away));
    EXPECT_EQ(Slurp(root / "Dest" / away.filename()), "far");
    fs::remove(away);
}

TEST_F(CmdInterpreter, TakesTextInOnePieceOrSeveral) {
    std::string dest = (root / "Dest").string();
    std::string source = "\"" + (root / "Src Dir" / "Driver.SYS").string() + "\"";
    EXPECT_EQ(Run({"/C", "copy", source, dest + "\\Joined.sys"}).status, 0);
    EXPECT_EQ(Slurp(root / "Dest" / "Joined.sys"), "driver");
    EXPECT_EQ(Run({"copy", dest, dest}).status, 1);
    EXPECT_EQ(Run({"/c", ""}).status, 0);
}

} // namespace
