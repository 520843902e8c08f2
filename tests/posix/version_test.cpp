// The version functions on generated driver files: the lengths and texts
// they report, the files they refuse, and corrupt files that must be
// refused without a read outside the file or the block.
#include "platform/platform.h"
#include "tools/pefixture.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

namespace {

namespace fs = std::filesystem;
using pefixture::Bytes;
using pefixture::Options;

const char kFileVersion[] = "\\StringFileInfo\\040904B0\\FileVersion";

// What a caller sees for a file: the block exactly as large as asked, so
// that any read past it is caught by the sanitizers.
struct Reading {
    DWORD size = 0;
    bool info = false;
    std::vector<uint8_t> block;

    bool Query(const char *path, std::string *value) const {
        LPVOID data = nullptr;
        UINT length = 0;
        if (!info || !VerQueryValueA(block.data(), path, &data, &length))
            return false;
        const char *text = static_cast<const char *>(data);
        value->assign(text, text + length);
        return true;
    }
};

Reading Read(const std::string &path) {
    Reading r;
    DWORD handle = 1;
    r.size = GetFileVersionInfoSizeA(path.c_str(), &handle);
    EXPECT_EQ(handle, 0u);
    if (r.size == 0)
        return r;
    r.block.resize(r.size);
    r.info = GetFileVersionInfoA(path.c_str(), handle, r.size, r.block.data());
    return r;
}

class VersionInfo : public testing::Test {
  protected:
    fs::path dir;

    void SetUp() override {
        char pattern[] = "/tmp/versiontest.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override {
        fs::remove_all(dir);
    }

    // Each file is written anew rather than truncated: the file system
    // flushes a file truncated and rewritten, which the loops below would
    // pay for thousands of times.
    std::string Write(const Bytes &bytes, const std::string &name = "driver.sys") {
        fs::remove(dir / name);
        std::ofstream(dir / name, std::ios::binary)
            .write(reinterpret_cast<const char *>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        return (dir / name).string();
    }

    Reading ReadImage(const Options &o) {
        return Read(Write(pefixture::DriverImage(o)));
    }
};

uint32_t Le32(const void *at) {
    const unsigned char *bytes = static_cast<const unsigned char *>(at);
    return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

Options WithText(const std::string &text, bool counted = true, bool pe32 = false) {
    Options o;
    o.fileVersion = text;
    o.counted = counted;
    o.pe32 = pe32;
    return o;
}

TEST_F(VersionInfo, ReportsTheStoredCountOfEachText) {
    struct Case {
        std::string text;
        bool counted;
        std::string expected;
    } cases[] = {
        {"2.1", true, std::string("2.1\0", 4)},
        {"2.1", false, "2.1"},
        {"", true, std::string(1, '\0')},
        {"", false, ""},
        {"4.00.1381.1", false, "4.00.1381.1"},
        // Latin-1 and Windows-1252 have these; the rest become '?', one per
        // UTF-16 unit, so that the count still holds.
        {"\xC3\xA9\xE2\x82\xAC\xC2\x81\xC2\x9F\xC4\x80\xF0\x9F\x98\x80", false, "\xE9\x80\x81????"},
    };
    for (bool pe32 : {false, true}) {
        for (const Case &c : cases) {
            SCOPED_TRACE(c.text + (c.counted ? " counted" : " uncounted") + (pe32 ? " PE32" : ""));
            Reading r = ReadImage(WithText(c.text, c.counted, pe32));
            std::string value;
            ASSERT_TRUE(r.Query(kFileVersion, &value));
            EXPECT_EQ(value, c.expected);
        }
    }
}

TEST_F(VersionInfo, PutsNoTerminatorAfterAnUncountedText) {
    Reading r = ReadImage(WithText("2.1", false));
    LPVOID data = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(r.block.data(), kFileVersion, &data, &length));
    ASSERT_EQ(length, 3u);
    EXPECT_NE(static_cast<const char *>(data)[3], '\0');
}

TEST_F(VersionInfo, MatchesQueryPathsAsWindowsDoes) {
    Options o = WithText("2.1");
    o.block = "040904b0";
    Reading r = ReadImage(o);
    struct Case {
        const char *path;
        bool found;
    } cases[] = {
        {"\\StringFileInfo\\040904B0\\FileVersion", true},
        {"\\stringfileinfo\\040904b0\\FILEVERSION", true},
        {"StringFileInfo\\040904B0\\FileVersion\\", true},
        {"\\\\StringFileInfo\\\\040904B0\\\\FileVersion", true},
        {"/StringFileInfo/040904B0/FileVersion", false},
        {"\\StringFileInfo\\040904B0\\FileVersio", false},
        {"\\StringFileInfo\\040904B0\\FileVersionX", false},
        {"\\FileVersion", false},
        {"\\VS_VERSION_INFO", false},
    };
    std::string value;
    for (const Case &c : cases)
        EXPECT_EQ(r.Query(c.path, &value), c.found) << c.path;
    ASSERT_TRUE(r.Query("\\VarFileInfo\\Translation", &value));
    EXPECT_EQ(value, std::string("\x09\x04\xB0\x04", 4));
}

TEST_F(VersionInfo, FindsTextsOnlyInTheBlockAsked) {
    Options o = WithText("2.1");
    o.block = "040904E4";
    Reading r = ReadImage(o);
    std::string value;
    ASSERT_NE(r.size, 0u);
    EXPECT_FALSE(r.Query(kFileVersion, &value));
    ASSERT_TRUE(r.Query("\\StringFileInfo\\040904E4\\FileVersion", &value));
    EXPECT_EQ(value, std::string("2.1\0", 4));
}

TEST_F(VersionInfo, AnswersTheRootWithTheFixedBlockOrNothing) {
    std::string fixed, text;
    Reading with = ReadImage(WithText("2.1"));
    ASSERT_TRUE(with.Query("\\", &fixed));
    ASSERT_EQ(fixed.size(), 52u);
    EXPECT_EQ(Le32(fixed.data()), 0xFEEF04BDu);
    EXPECT_EQ(Le32(fixed.data() + 8), 0x00020001u);
    Options o = WithText("2.1");
    o.fixedInfo = false;
    Reading without = ReadImage(o);
    ASSERT_TRUE(without.Query("\\", &fixed));
    EXPECT_EQ(fixed, "");
    ASSERT_TRUE(without.Query(kFileVersion, &text));
    EXPECT_EQ(text, std::string("2.1\0", 4));
}

TEST_F(VersionInfo, FindsTheFileByItsWindowsPath) {
    fs::create_directories(dir / "Drivers");
    Write(pefixture::DriverImage(WithText("3.2")), "Drivers/KORVEX1.SYS");
    std::string windowsPath = dir.string() + "\\drivers\\korvex1.sys";
    for (char &c : windowsPath)
        c = c == '/' ? '\\' : c;
    std::string value;
    EXPECT_TRUE(Read(windowsPath).Query(kFileVersion, &value));
    EXPECT_EQ(value, std::string("3.2\0", 4));
}

TEST_F(VersionInfo, GivesNoSizeForFilesWithoutAResource) {
    Options none = WithText("2.1");
    none.resource = false;
    Bytes image = pefixture::DriverImage(WithText("2.1"));
    Bytes header(image.begin(), image.begin() + 100);
    std::string text = "MZ this is not a PE file at all, only text that starts like one.";
    const std::string paths[] = {
        (dir / "missing.sys").string(), Write(pefixture::DriverImage(none), "none.sys"),
        Write({}, "empty.sys"),         Write(Bytes(text.begin(), text.end()), "text.sys"),
        Write(header, "header.sys"),    dir.string(),
    };
    for (const std::string &path : paths) {
        EXPECT_EQ(GetFileVersionInfoSizeA(path.c_str(), nullptr), 0u) << path;
        std::vector<uint8_t> block(4096);
        EXPECT_FALSE(GetFileVersionInfoA(path.c_str(), 0, 4096, block.data())) << path;
    }
}

// Where the version resource's data ends in the file.
size_t ResourceEnd(const Options &o) {
    std::vector<pefixture::Section> sections = pefixture::LayoutSections(o);
    return sections.back().fileOffset + pefixture::kData + pefixture::VersionResource(o).size();
}

Options WithRootLength(uint16_t length, bool fixedInfo = true) {
    Options o = WithText("2.1");
    o.setRootLength = true;
    o.rootLength = length;
    o.fixedInfo = fixedInfo;
    return o;
}

// An image of o with one 32-bit field of the resource section changed and
// some bytes appended after the last section, as a signature would be.
Bytes Patched(const Options &o, uint32_t at, uint32_t value, uint32_t mask = 0) {
    Bytes image = pefixture::DriverImage(o);
    size_t field = pefixture::LayoutSections(o).back().fileOffset + at;
    pefixture::Put32(image, field, value | (mask & Le32(image.data() + field)));
    image.resize(image.size() + 0x400, 0xEE);
    return image;
}

TEST_F(VersionInfo, RefusesLengthsThatReachPastTheirBounds) {
    Options plain = WithText("2.1"), oversize = WithText("2.1");
    oversize.oversizeData = true;
    uint16_t whole = static_cast<uint16_t>(pefixture::VersionResource(plain).size());
    uint32_t dataSize = pefixture::kDataEntry + 4, langTarget = pefixture::kLangDir + 20;
    struct Case {
        const char *what;
        Bytes image;
    } cases[] = {
        {"data entry Size far past the file", pefixture::DriverImage(oversize)},
        {"data entry Size past its section", Patched(plain, dataSize, 0x200)},
        {"root wLength 0xFFFF", pefixture::DriverImage(WithRootLength(0xFFFF))},
        {"root wLength past the data entry", pefixture::DriverImage(WithRootLength(whole + 8))},
        {"root key past the root", pefixture::DriverImage(WithRootLength(20, false))},
        {"language entry naming a directory", Patched(plain, langTarget, 0x80000000u, ~0u)},
    };
    for (const Case &c : cases)
        EXPECT_EQ(Read(Write(c.image)).size, 0u) << c.what;
    Reading cut = ReadImage(WithRootLength(100)); // ends inside StringFileInfo
    std::string value;
    ASSERT_TRUE(cut.info);
    EXPECT_TRUE(cut.Query("\\", &value));
    EXPECT_FALSE(cut.Query(kFileVersion, &value));
}

TEST_F(VersionInfo, RefusesEveryTruncationBeforeTheResourceEnds) {
    for (bool pe32 : {false, true}) {
        Options o = WithText("2.1", true, pe32);
        Bytes image = pefixture::DriverImage(o);
        size_t end = ResourceEnd(o);
        for (size_t cut = 0; cut <= image.size(); cut++) {
            Reading r = Read(Write(Bytes(image.begin(), image.begin() + cut)));
            std::string value;
            bool whole = cut >= end;
            ASSERT_EQ(r.size != 0, whole) << "cut at " << cut;
            ASSERT_EQ(r.Query(kFileVersion, &value), whole) << "cut at " << cut;
        }
    }
}

// Bytes changed at random across the headers and the resource: whatever
// the answer, every reported length must be readable where it points.
TEST_F(VersionInfo, SurvivesCorruptBytes) {
    Bytes image = pefixture::DriverImage(WithText("2.1"));
    std::mt19937 random(20240611);
    std::uniform_int_distribution<size_t> place(0, image.size() - 1);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int round = 0; round < 3000; round++) {
        Bytes bytes = image;
        for (int k = 0; k < 1 + round % 4; k++) {
            size_t at = round % 2 ? place(random) : 0x400 + place(random) % 0x1A0;
            bytes[at] = static_cast<uint8_t>(byte(random));
        }
        Reading r = Read(Write(bytes));
        std::string value;
        r.Query("\\", &value);
        r.Query(kFileVersion, &value);
        r.Query("\\VarFileInfo\\Translation", &value);
    }
}

TEST_F(VersionInfo, QueriesOnlyBlocksItFilled) {
    Reading r = ReadImage(WithText("2.1"));
    std::vector<uint8_t> small(r.size - 1);
    std::string path = (dir / "driver.sys").string();
    EXPECT_FALSE(GetFileVersionInfoA(path.c_str(), 0, r.size - 1, small.data()));
    LPVOID data = nullptr;
    UINT length = 0;
    std::vector<uint8_t> zeros(r.size);
    EXPECT_FALSE(VerQueryValueA(zeros.data(), "\\", &data, &length));
    std::vector<uint8_t> lying = r.block;
    lying[5] ^= 1; // the size the header states
    EXPECT_FALSE(VerQueryValueA(lying.data(), "\\", &data, &length));
    EXPECT_FALSE(VerQueryValueA(r.block.data(), nullptr, &data, &length));
    EXPECT_TRUE(VerQueryValueA(r.block.data(), "\\", &data, &length));
}

std::string Slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The tool must hand every option to the generator the tests use.
TEST_F(VersionInfo, ToolWritesWhatTheGeneratorBuilds) {
    Options o = WithText("7.x", false, true);
    o.block = "040904E4";
    o.fixedInfo = false;
    o.payload = "first build";
    Bytes image = pefixture::DriverImage(o);
    std::string out = (dir / "tool.sys").string();
    std::string command = std::string(BUILD_DIR) + "/mksys '" + out +
                          "' --file-version 7.x --uncounted --pe32 --block 040904E4"
                          " --no-fixed --payload 'first build' --truncate 1000";
    ASSERT_EQ(system(command.c_str()), 0);
    EXPECT_EQ(Slurp(out), std::string(image.begin(), image.begin() + 1000));
    o.payload = "second build";
    EXPECT_NE(pefixture::DriverImage(o), image);
}

} // namespace
