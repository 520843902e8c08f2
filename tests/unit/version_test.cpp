// The version functions on generated driver files: the texts they report,
// and damaged files that must be refused without a read outside the file
// or the block (fuzz/version_fuzz.cpp tries the rest).
#include "fixture.h"

#include "driverfile/driverfile.h"
#include "front/state.h"
#include "tools/pefixture.h"

#include <algorithm>

namespace {

using pefixture::Bytes;
using pefixture::Options;

const char kFileVersion[] = "\\StringFileInfo\\040904B0\\FileVersion";
const char *const kRefused = "<refused>", *const kNone = "<none>";
const std::string z(1, '\0'), v21 = "2.1" + z;

// FileVersion "2.1" unless shape says otherwise.
Options Shaped(void (*shape)(Options &)) {
    Options o;
    o.fileVersion = u"2.1";
    if (shape != nullptr)
        shape(o);
    return o;
}

Bytes Image(void (*shape)(Options &) = nullptr) {
    return pefixture::DriverImage(Shaped(shape));
}

// An image with one field of the resource section, at its offset there,
// set to value (keeping the bits of mask), and bytes after the last
// section, as a signature would be.
Bytes Patched(uint32_t at, uint32_t value, uint32_t mask = 0, void (*shape)(Options &) = nullptr) {
    Options o = Shaped(shape);
    Bytes image = pefixture::DriverImage(o);
    size_t field = pefixture::LayoutSections(o).back().fileOffset + at;
    pefixture::Put(image, field, value | (mask & ReadLe32(image.data() + field)));
    image.resize(image.size() + 0x400, 0xEE);
    return image;
}

// The version resource's own length, the first field of its data.
Bytes RootLength(uint16_t length, void (*shape)(Options &) = nullptr) {
    return Patched(pefixture::kData, length, 0xFFFF0000u, shape);
}

class VersionInfo : public ScratchTest {
  protected:
    // A new file each time: one truncated and rewritten is flushed by the
    // file system, which the loops below would pay for thousands of times.
    std::string Write(const Bytes &bytes) {
        fs::remove(top / "driver.sys");
        Spill(top / "driver.sys", std::string(bytes.begin(), bytes.end()));
        return (top / "driver.sys").string();
    }
    // What a caller sees: the block exactly as large as asked, so that any
    // read past it is caught by the sanitizers, and an answer inside it.
    std::string Ask(const std::string &file, const char *path = kFileVersion) {
        DWORD handle = 1, size = GetFileVersionInfoSizeA(file.c_str(), &handle);
        EXPECT_EQ(handle, 0u);
        std::vector<uint8_t> block(size == 0 ? 4096 : size);
        EXPECT_FALSE(size != 0 && GetFileVersionInfoA(file.c_str(), 0, size - 1, block.data()));
        if (!GetFileVersionInfoA(file.c_str(), 0, static_cast<DWORD>(block.size()), block.data()))
            return kRefused;
        EXPECT_NE(size, 0u) << "filled a block for a file of no size";
        LPVOID data = nullptr;
        UINT length = 0;
        if (!VerQueryValueA(block.data(), path, &data, &length))
            return kNone;
        auto *text = static_cast<const uint8_t *>(data);
        EXPECT_TRUE(text >= block.data() && length <= size &&
                    text - block.data() <= static_cast<ptrdiff_t>(size - length))
            << path;
        return std::string(text, text + length);
    }
    std::string Ask(const Bytes &image, const char *path = kFileVersion) {
        return Ask(Write(image), path);
    }
};

TEST_F(VersionInfo, AnswersAsWindowsDoesAndRefusesUnsoundFiles) {
    auto lower = [](Options &o) { o.block = "040904b0"; };
    auto unfixed = [](Options &o) { o.fixedInfo = false; };
    auto e4 = [](Options &o) { o.block = "040904E4"; };
    // The FileVersion string claiming more characters than its node holds.
    Bytes lying = Image();
    const char key[] = "F\0i\0l\0e\0V\0e\0r\0s\0i\0o\0n\0";
    auto at = std::search(lying.begin(), lying.end(), key, key + sizeof key - 1);
    pefixture::Put(lying, static_cast<size_t>(at - lying.begin()) - 4, 40, 2);
    const std::string fixed = Ask(Image(), "\\");
    EXPECT_EQ(fixed.size(), 52u);
    EXPECT_EQ(ReadLe32(reinterpret_cast<const uint8_t *>(fixed.data())), 0xFEEF04BDu);
    const uint16_t whole =
        static_cast<uint16_t>(pefixture::VersionResource(Shaped(nullptr)).size());
    const std::string text = "MZ this is not a PE file at all, only text that starts like one.";
    struct Case {
        Bytes image;
        const char *path;
        std::string expected;
    } cases[] = {
        // The count is the stored one, the terminator in it or not.
        {Image([](Options &o) { o.counted = false, o.pe32 = true; }), kFileVersion, "2.1"},
        {Image([](Options &o) { o.fileVersion = u"", o.counted = false; }), kFileVersion, ""},
        // Latin-1 and Windows-1252 have these; the rest become '?', one per
        // UTF-16 unit, so that the count still holds.
        {Image([](Options &o) { o.fileVersion = u"\u00E9\u20AC\u0081\u009F\u0100\U0001F600"; }),
         kFileVersion, "\xE9\x80\x81????" + z},
        {Image(lower), "\\stringfileinfo\\040904b0\\FILEVERSION", v21},
        {Image(lower), "StringFileInfo\\040904B0\\FileVersion\\", v21},
        {Image(lower), "\\\\StringFileInfo\\\\040904B0\\\\FileVersion", v21},
        {Image(), "/StringFileInfo/040904B0/FileVersion", kNone},
        {Image(), "\\StringFileInfo\\040904B0\\FileVersio", kNone},
        {Image(), "\\StringFileInfo\\040904B0\\FileVersionX", kNone},
        {Image(), "\\FileVersion", kNone},
        {Image(e4), kFileVersion, kNone}, // texts are found only in the block asked for
        {Image(e4), "\\StringFileInfo\\040904E4\\FileVersion", v21},
        {Image(unfixed), "\\", ""},
        {Image(unfixed), kFileVersion, v21},
        {RootLength(100), "\\", fixed}, // ends inside StringFileInfo
        {RootLength(100), kFileVersion, kNone},
        {lying, kFileVersion, kNone},
        {Image([](Options &o) { o.resource = false; }), kFileVersion, kRefused},
        {Image([](Options &o) { o.nameId = 2; }), kFileVersion, kRefused}, // the loader asks for 1
        {{}, kFileVersion, kRefused},
        {Bytes(text.begin(), text.end()), kFileVersion, kRefused},
        {Bytes(lying.begin(), lying.begin() + 100), kFileVersion, kRefused},
        {Patched(pefixture::kDataEntry + 4, 0x10000000), kFileVersion, kRefused}, // Size past file
        {Patched(pefixture::kDataEntry + 4, 0x200), kFileVersion, kRefused}, // ... past section
        {RootLength(0xFFFF), kFileVersion, kRefused},
        {RootLength(whole + 8), kFileVersion, kRefused},   // past the data entry
        {RootLength(20, unfixed), kFileVersion, kRefused}, // the root's own key past the root
        // A language entry that names a directory.
        {Patched(pefixture::kLangDir + 20, 0x80000000u, ~0u), kFileVersion, kRefused},
    };
    for (const Case &c : cases)
        EXPECT_EQ(Ask(c.image, c.path), c.expected) << &c - cases << " " << c.path;
    for (const fs::path &path : {top / "missing.sys", top})
        EXPECT_EQ(Ask(path.string()), kRefused) << path;
}

TEST_F(VersionInfo, RefusesEveryTruncationBeforeTheResourceEnds) {
    for (auto shape : {+[](Options &) {}, +[](Options &o) { o.pe32 = true; }}) {
        Options o = Shaped(shape);
        Bytes image = pefixture::DriverImage(o);
        size_t end = pefixture::LayoutSections(o).back().fileOffset + pefixture::kData +
                     pefixture::VersionResource(o).size();
        for (size_t cut = 0; cut <= image.size(); cut++)
            ASSERT_EQ(Ask(Bytes(image.begin(), image.begin() + cut)) == v21, cut >= end) << cut;
    }
}

// The version text as the query hands it over, with its count: the parse
// must stop at the count, never at a terminator, and say why it refused.
TEST(ParseFileVersion, FollowsTheReportedCount) {
    const char *const tooLarge = "Version number too large\n";
    const struct {
        std::string text; // the characters handed over, a zero included when counted
        bool result;
        int32_t major, minor;
        const char *verbose;
    } cases[] = {
        {v21, true, 2, 1, ""},
        {"4.00.1381.1", true, 4, 0, ""},
        {"  3.2 (beta)", true, 3, 2, ""},
        {"  .5", false, 0, 0, "Dot character can not lead the string\n"},
        {"7", false, 0, 0, ""},
        {"   ", false, 0, 0, ""},
        {"7" + z, true, 0, 0, "Non-digit character exists. 00\n"},
        {"7.x", true, 7, 0, ""},
        {"v1.2", true, 0, 0, "Non-digit character exists. 76\n"},
        {"\xe9.1", true, 0, 0, "Non-digit character exists. e9\n"},
        {"2147483647.2147483647", true, 2147483647, 2147483647, ""},
        {"2147483648.1", false, 0, 0, tooLarge},
        {"1.2147483648", false, 0, 0, tooLarge},
        {"00000000000000000001.2", true, 1, 2, ""},
    };
    for (const auto &c : cases) {
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
        EXPECT_TRUE(!c.result || (major == c.major && minor == c.minor)) << c.text;
    }
    int32_t major = -1, minor = -1; // digits past the count are not the version's
    EXPECT_TRUE(ParseFileVersion("2.1999", 4, &major, &minor));
    EXPECT_EQ(minor, 19);
}

} // namespace
