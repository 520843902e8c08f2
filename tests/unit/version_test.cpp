// The version functions on generated driver files: the lengths and texts
// they report, and corrupt files that must be refused without a read
// outside the file or the block (fuzz/version_fuzz.cpp tries the rest).
#include "fixture.h"

#include "platform/posix/pe/pe.h"
#include "tools/pefixture.h"

namespace {

using pefixture::Bytes;
using pefixture::Options;

const char kFileVersion[] = "\\StringFileInfo\\040904B0\\FileVersion";

// What a caller sees: the block exactly as large as asked, so that any
// read past it is caught by the sanitizers.
struct Reading {
    DWORD size = 0;
    bool info = false;
    std::vector<uint8_t> block;

    // Every answer must lie inside the block it came from.
    bool Query(const char *path, std::string *value) const {
        LPVOID data = nullptr;
        UINT length = 0;
        if (!info || !VerQueryValueA(block.data(), path, &data, &length))
            return false;
        const uint8_t *text = static_cast<const uint8_t *>(data);
        EXPECT_TRUE(text >= block.data() && length <= block.size() &&
                    text - block.data() <= static_cast<ptrdiff_t>(block.size() - length))
            << path;
        value->assign(text, text + length);
        return true;
    }
};

Reading Read(const std::string &path) {
    Reading r;
    DWORD handle = 1;
    r.size = GetFileVersionInfoSizeA(path.c_str(), &handle);
    EXPECT_EQ(handle, 0u);
    if (r.size != 0) {
        r.block.resize(r.size);
        r.info = GetFileVersionInfoA(path.c_str(), handle, r.size, r.block.data());
    }
    return r;
}

class VersionInfo : public ScratchTest {
  protected:
    // A new file each time: one truncated and rewritten is flushed by the
    // file system, which the loops below would pay for thousands of times.
    std::string Write(const Bytes &bytes, const std::string &name = "driver.sys") {
        fs::remove(top / name);
        Spill(top / name, std::string(bytes.begin(), bytes.end()));
        return (top / name).string();
    }
    Reading ReadImage(const Options &o) {
        return Read(Write(pefixture::DriverImage(o)));
    }
};

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
        // Latin-1 and Windows-1252 have these; the rest become '?', one per
        // UTF-16 unit, so that the count still holds.
        {"\xC3\xA9\xE2\x82\xAC\xC2\x81\xC2\x9F\xC4\x80\xF0\x9F\x98\x80", false, "\xE9\x80\x81????"},
    };
    for (bool pe32 : {false, true}) {
        for (const Case &c : cases) {
            SCOPED_TRACE(c.text + (c.counted ? " counted" : " uncounted") + (pe32 ? " PE32" : ""));
            std::string value;
            ASSERT_TRUE(ReadImage(WithText(c.text, c.counted, pe32)).Query(kFileVersion, &value));
            EXPECT_EQ(value, c.expected);
        }
    }
}

TEST_F(VersionInfo, MatchesQueryPathsAsWindowsDoes) {
    Options o = WithText("2.1");
    o.block = "040904b0";
    Reading r = ReadImage(o);
    std::string value;
    for (auto [path, found] : {std::pair<const char *, bool>{kFileVersion, true},
                               {"\\stringfileinfo\\040904b0\\FILEVERSION", true},
                               {"StringFileInfo\\040904B0\\FileVersion\\", true},
                               {"\\\\StringFileInfo\\\\040904B0\\\\FileVersion", true},
                               {"/StringFileInfo/040904B0/FileVersion", false},
                               {"\\StringFileInfo\\040904B0\\FileVersio", false},
                               {"\\StringFileInfo\\040904B0\\FileVersionX", false},
                               {"\\FileVersion", false}})
        EXPECT_EQ(r.Query(path, &value), found) << path;
    ASSERT_TRUE(r.Query("\\VarFileInfo\\Translation", &value));
    EXPECT_EQ(value, std::string("\x09\x04\xB0\x04", 4));
    o.block = "040904E4"; // texts are found only in the block asked for
    r = ReadImage(o);
    EXPECT_FALSE(r.Query(kFileVersion, &value));
    ASSERT_TRUE(r.Query("\\StringFileInfo\\040904E4\\FileVersion", &value));
}

TEST_F(VersionInfo, AnswersTheRootWithTheFixedBlockOrNothing) {
    std::string fixed, text;
    ASSERT_TRUE(ReadImage(WithText("2.1")).Query("\\", &fixed));
    ASSERT_EQ(fixed.size(), 52u);
    EXPECT_EQ(ReadLe32(reinterpret_cast<const uint8_t *>(fixed.data())), 0xFEEF04BDu);
    Options o = WithText("2.1");
    o.fixedInfo = false;
    Reading without = ReadImage(o);
    ASSERT_TRUE(without.Query("\\", &fixed));
    EXPECT_EQ(fixed, "");
    EXPECT_TRUE(without.Query(kFileVersion, &text));
}

TEST_F(VersionInfo, FindsTheFileByItsWindowsPathAndRefusesWhatHasNoResource) {
    fs::create_directories(top / "Drivers");
    Write(pefixture::DriverImage(WithText("3.2")), "Drivers/KORVEX1.SYS");
    std::string windowsPath = top.string() + "\\drivers\\korvex1.sys", value;
    EXPECT_TRUE(Read(windowsPath).Query(kFileVersion, &value));
    EXPECT_EQ(value, std::string("3.2\0", 4));
    Options none = WithText("2.1"), named2 = none;
    none.resource = false;
    named2.nameId = 2; // the loader asks for the resource named 1 only
    Bytes image = pefixture::DriverImage(WithText("2.1"));
    std::string text = "MZ this is not a PE file at all, only text that starts like one.";
    for (const std::string &path :
         {(top / "missing.sys").string(), Write(pefixture::DriverImage(none), "none.sys"),
          Write(pefixture::DriverImage(named2), "named2.sys"), Write({}, "empty.sys"),
          Write(Bytes(text.begin(), text.end()), "text.sys"),
          Write(Bytes(image.begin(), image.begin() + 100), "header.sys"), top.string()}) {
        EXPECT_EQ(GetFileVersionInfoSizeA(path.c_str(), nullptr), 0u) << path;
        std::vector<uint8_t> block(4096);
        EXPECT_FALSE(GetFileVersionInfoA(path.c_str(), 0, 4096, block.data())) << path;
    }
}

// An image of o with one 32-bit field of the resource section set, and
// bytes after the last section, as a signature would be.
Bytes Patched(const Options &o, uint32_t at, uint32_t value, uint32_t mask = 0) {
    Bytes image = pefixture::DriverImage(o);
    size_t field = pefixture::LayoutSections(o).back().fileOffset + at;
    pefixture::Put(image, field, value | (mask & ReadLe32(image.data() + field)));
    image.resize(image.size() + 0x400, 0xEE);
    return image;
}

Options WithRootLength(uint16_t length, bool fixedInfo = true) {
    Options o = WithText("2.1");
    o.setRootLength = true;
    o.rootLength = length;
    o.fixedInfo = fixedInfo;
    return o;
}

TEST_F(VersionInfo, RefusesLengthsThatReachPastTheirBounds) {
    Options plain = WithText("2.1"), oversize = WithText("2.1");
    oversize.oversizeData = true;
    uint16_t whole = static_cast<uint16_t>(pefixture::VersionResource(plain).size());
    // The FileVersion string claiming more characters than its node holds.
    Bytes longText = pefixture::DriverImage(plain);
    const char key[] = "F\0i\0l\0e\0V\0e\0r\0s\0i\0o\0n\0";
    auto at = std::search(longText.begin(), longText.end(), key, key + sizeof key - 1);
    pefixture::Put(longText, static_cast<size_t>(at - longText.begin()) - 4, 40, 2);
    struct Case {
        const char *what;
        Bytes image;
    } cases[] = {
        {"data entry Size far past the file", pefixture::DriverImage(oversize)},
        {"data entry Size past its section", Patched(plain, pefixture::kDataEntry + 4, 0x200)},
        {"root wLength 0xFFFF", pefixture::DriverImage(WithRootLength(0xFFFF))},
        {"root wLength past the data entry", pefixture::DriverImage(WithRootLength(whole + 8))},
        {"root key past the root", pefixture::DriverImage(WithRootLength(20, false))},
        {"language entry naming a directory",
         Patched(plain, pefixture::kLangDir + 20, 0x80000000u, ~0u)},
    };
    for (const Case &c : cases)
        EXPECT_EQ(Read(Write(c.image)).size, 0u) << c.what;
    std::string value;
    Reading cut = ReadImage(WithRootLength(100)); // ends inside StringFileInfo
    ASSERT_TRUE(cut.info);
    EXPECT_TRUE(cut.Query("\\", &value));
    EXPECT_FALSE(cut.Query(kFileVersion, &value));
    Reading lying = Read(Write(longText));
    EXPECT_FALSE(lying.Query(kFileVersion, &value)) << value.size();
}

TEST_F(VersionInfo, RefusesEveryTruncationBeforeTheResourceEnds) {
    for (bool pe32 : {false, true}) {
        Options o = WithText("2.1", true, pe32);
        Bytes image = pefixture::DriverImage(o);
        size_t end = pefixture::LayoutSections(o).back().fileOffset + pefixture::kData +
                     pefixture::VersionResource(o).size();
        for (size_t cut = 0; cut <= image.size(); cut++) {
            Reading r = Read(Write(Bytes(image.begin(), image.begin() + cut)));
            std::string value;
            ASSERT_EQ(r.size != 0, cut >= end) << "cut at " << cut;
            ASSERT_EQ(r.Query(kFileVersion, &value), cut >= end) << "cut at " << cut;
        }
    }
}

TEST_F(VersionInfo, QueriesOnlyBlocksItFilled) {
    Reading r = ReadImage(WithText("2.1"));
    std::vector<uint8_t> small(r.size - 1);
    EXPECT_FALSE(GetFileVersionInfoA((top / "driver.sys").c_str(), 0, r.size - 1, small.data()));
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

} // namespace
