// The strict structure check passes the hives our runs write and catches
// each kind of damage a torn or mistaken write leaves, since the crash and
// fault checks take its word for whether a tree would still boot.
#include "fixture.h"

#include <functional>

namespace {

// A hive's bytes, with its cells reached by their offsets from the bins.
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
    std::vector<std::string> Problems() {
        HiveCheckOptions options;
        options.strict = true;
        return CheckHiveStructure(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size(),
                                  options)
            .problems;
    }
};

class HiveCheck : public TreeTest {};

TEST_F(HiveCheck, CatchesEachKindOfDamage) {
    HKEY services = Services();
    SetNumber(Create(services, "korvex1"), "Start", 0);
    SetNumber(Create(services, "korvex2"), "Start", 0);
    ASSERT_EQ(0, HiveFinish(0));
    Image good{Slurp(Hive())};
    EXPECT_EQ(good.Problems(), std::vector<std::string>());
    // hivex's handles are offsets from the file's start.
    Reader hive(Hive());
    auto cell = [&hive](const std::vector<const char *> &path) {
        return static_cast<uint32_t>(hive.Find(path) - kBaseBlockSize);
    };
    uint32_t root = cell({}), svc = cell({"ControlSet001", "Services"});
    uint32_t driver = cell({"ControlSet001", "Services", "korvex1"});
    uint32_t list = good.Get(svc, 0x1C), security = good.Get(root, 0x2C);
    struct Case {
        const char *what, *message;
        std::function<void(Image &)> damage;
    } cases[] = {
        {"flipped checksum", "checksum", [](Image &i) { i.bytes[kChecksumOffset] ^= 1; }},
        {"unfinished write", "sequence numbers",
         [](Image &i) { i.bytes[kSequence1Offset]++, Reseal(i.bytes); }},
        {"truncated", "declares", [](Image &i) { i.bytes.resize(i.bytes.size() - 4096); }},
        {"cut mid-bin", "declares", [](Image &i) { i.bytes.resize(i.bytes.size() - 100); }},
        {"bin offset", "says it is at", [](Image &i) { i.bytes[kBaseBlockSize + 4] = 8; }},
        {"cell past its bin", "does not fit",
         [&](Image &i) { WriteLe32(i.Cell(driver) - 4, 0x80000000); }},
        {"broken parent link", "parent link", [&](Image &i) { i.Set(driver, 0x10, root); }},
        {"wrong subkey count", "counts 9 subkeys", [&](Image &i) { i.Set(svc, 0x14, 9); }},
        {"value list outside", "value list", [&](Image &i) { i.Set(driver, 0x28, 0x7FFFFFF0); }},
        {"value data outside", "not an allocated cell",
         [&](Image &i) { i.Set(i.Get(driver, 0x28), 0, 8); }},
        {"reference count", "references", [&](Image &i) { i.Set(security, 0xC, 2); }},
        {"security ring", "points back", [&](Image &i) { i.Set(security, 8, 0x20); }},
        {"key linked twice", "reached twice", [&](Image &i) { i.Set(list, 12, i.Get(list, 4)); }},
        {"order of subkeys", "out of order",
         [&](Image &i) {
             uint32_t first = i.Get(list, 4);
             i.Set(list, 4, i.Get(list, 12));
             i.Set(list, 12, first);
         }},
    };
    for (const Case &c : cases) {
        Image bad = good;
        c.damage(bad);
        std::string all;
        for (const std::string &p : bad.Problems())
            all += p + "\n";
        EXPECT_NE(std::string::npos, all.find(c.message)) << c.what << ":\n" << all;
    }
}

} // namespace
