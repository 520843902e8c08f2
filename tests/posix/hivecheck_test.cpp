// The hive checker must pass every hive this project writes and must catch
// each kind of damage a torn or mistaken write leaves, since the crash and
// fault checks take its word for whether a tree would still boot.
#include "platform/posix/hive/hive.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

namespace {

namespace fs = std::filesystem;

const std::string kTools = BUILD_DIR;

std::string Slurp(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void Spill(const fs::path &path, const std::string &bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// Runs a command and gives its exit status and standard output.
int RunCapturing(const std::string &command, std::string *output) {
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return -1;
    char buffer[512];
    output->clear();
    while (size_t n = fread(buffer, 1, sizeof buffer, pipe))
        output->append(buffer, n);
    int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Just enough reading of a hive to find the cells the damage goes into.
struct Image {
    std::string bytes;

    uint8_t *Cell(uint32_t offset) {
        return reinterpret_cast<uint8_t *>(&bytes[kBaseBlockSize + offset + 4]);
    }
    uint32_t Get(uint32_t cell, size_t field) {
        return ReadLe32(Cell(cell) + field);
    }
    void Set(uint32_t cell, size_t field, uint32_t value) {
        WriteLe32(Cell(cell) + field, value);
    }
    uint32_t Root() {
        return ReadLe32(reinterpret_cast<const uint8_t *>(&bytes[kRootCellOffset]));
    }
    // The subkey of key with the given name, from a hashed ("lf"/"lh") list.
    uint32_t Child(uint32_t key, const std::string &name) {
        uint8_t *list = Cell(Get(key, 0x1C));
        for (uint32_t i = 0, n = list[2] | list[3] << 8; i < n; i++) {
            uint32_t child = ReadLe32(list + 4 + 8 * i);
            uint8_t *nk = Cell(child);
            if (std::string(reinterpret_cast<char *>(nk + 0x4C), nk[0x48]) == name)
                return child;
        }
        ADD_FAILURE() << "no subkey " << name;
        return 0;
    }
    void Reseal() {
        auto *base = reinterpret_cast<uint8_t *>(&bytes[0]);
        WriteLe32(base + kChecksumOffset, BaseBlockChecksum(base));
    }
};

class HiveCheck : public testing::Test {
  protected:
    fs::path top;

    void SetUp() override {
        char dir[] = "/tmp/hivecheck.XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        top = dir;
        std::string error;
        ASSERT_TRUE(MakeWindowsTree(top / "tree", TreeLayout(), &error)) << error;
        fs::create_directory(top / "work");
        ASSERT_EQ(0, system((kTools + "/mksys " + (top / "work/korvex1.sys").string() +
                             " --file-version 2.1")
                                .c_str()));
    }
    void TearDown() override {
        fs::remove_all(top);
    }
    fs::path Hive() {
        return top / "tree/WINNT/system32/config/SYSTEM";
    }
    int Check(const fs::path &hive, std::string *output) {
        return RunCapturing(kTools + "/hivecheck " + hive.string(), output);
    }
    void Install(const char *options) {
        std::string command = "cd " + (top / "work").string() + " && PATH=" + kTools +
                              ":/usr/bin:/bin SystemRoot=" + (top / "tree/WINNT").string() + " " +
                              kTools + "/drvinst -D korvex1 " + options + " >/dev/null 2>&1";
        ASSERT_EQ(0, system(command.c_str())) << options;
    }
};

TEST_F(HiveCheck, PassesEveryHiveWeWrite) {
    std::string output;
    ASSERT_EQ(0, system((kTools + "/mkhive " + (top / "empty").string()).c_str()));
    EXPECT_EQ(0, Check(top / "empty", &output)) << output;
    EXPECT_EQ(0, Check(Hive(), &output)) << output;
    for (const char *options : {"", "-F", "-U"}) {
        Install(options);
        EXPECT_EQ(0, Check(Hive(), &output)) << options << ": " << output;
    }
    EXPECT_NE(std::string::npos, output.find("sound: 6 keys")) << output;
}

TEST_F(HiveCheck, CatchesEachKindOfDamage) {
    Install("");
    Image good{Slurp(Hive())};
    uint32_t root = good.Root();
    uint32_t set = good.Child(root, "ControlSet001");
    uint32_t services = good.Child(set, "Services");
    uint32_t driver = good.Child(services, "korvex1");
    uint32_t security = good.Get(root, 0x2C);
    using Damage = std::function<void(Image &)>;
    struct Case {
        const char *what;
        Damage damage;
        const char *message;
    } cases[] = {
        {"flipped checksum", [](Image &i) { i.bytes[kChecksumOffset] ^= 1; }, "checksum"},
        {"unfinished write", [](Image &i) { i.bytes[kSequence1Offset]++, i.Reseal(); },
         "sequence numbers"},
        {"truncated", [](Image &i) { i.bytes.resize(i.bytes.size() - 4096); }, "declares"},
        {"cut mid-bin", [](Image &i) { i.bytes.resize(i.bytes.size() - 100); }, "declares"},
        {"bin offset", [](Image &i) { i.bytes[kBaseBlockSize + 4] = 8; }, "says it is at"},
        {"cell past its bin", [&](Image &i) { WriteLe32(i.Cell(driver) - 4, 0x80000000); },
         "does not fit"},
        {"broken parent link", [&](Image &i) { i.Set(driver, 0x10, root); }, "parent link"},
        {"wrong subkey count", [&](Image &i) { i.Set(services, 0x14, 3); }, "counts 3 subkeys"},
        {"value list outside", [&](Image &i) { i.Set(driver, 0x28, 0x7FFFFFF0); }, "value list"},
        {"value data outside", [&](Image &i) { i.Set(i.Get(driver, 0x28), 0, 8); },
         "not an allocated cell"},
        {"value listed twice",
         [&](Image &i) {
             uint32_t list = i.Get(driver, 0x28);
             i.Set(list, 4, i.Get(list, 0));
         },
         "used twice"},
        {"reference count", [&](Image &i) { i.Set(security, 0xC, 2); }, "references"},
        {"security ring", [&](Image &i) { i.Set(security, 8, 0x20); }, "points back"},
        {"key linked twice",
         [&](Image &i) {
             uint32_t list = i.Get(services, 0x1C);
             i.Set(list, 12, i.Get(list, 4));
         },
         "reached twice"},
        {"order of subkeys",
         [&](Image &i) {
             uint32_t list = i.Get(services, 0x1C);
             uint32_t first = i.Get(list, 4);
             i.Set(list, 4, i.Get(list, 12));
             i.Set(list, 12, first);
         },
         "out of order"},
    };
    for (const Case &c : cases) {
        Image bad = good;
        c.damage(bad);
        Spill(top / "bad", bad.bytes);
        std::string output;
        EXPECT_EQ(1, Check(top / "bad", &output)) << c.what << ": " << output;
        EXPECT_NE(std::string::npos, output.find(c.message)) << c.what << ": " << output;
    }
}

TEST_F(HiveCheck, RefusesWhatIsNoHive) {
    std::string output;
    Spill(top / "text", std::string(8192, 'x'));
    EXPECT_EQ(1, Check(top / "text", &output));
    EXPECT_EQ(1, Check(top / "missing", &output));
    EXPECT_EQ(2, RunCapturing(kTools + "/hivecheck 2>/dev/null", &output));
}

} // namespace
