#include "image.h"

#include "file.h"

#include <cstring>
#include <ctime>
#include <initializer_list>

namespace {

constexpr uint32_t kNoCell = 0xFFFFFFFF;
constexpr uint32_t kRootCell = kBinHeaderSize;
// KEY_HIVE_ENTRY | KEY_NO_DELETE | KEY_COMP_NAME.
constexpr uint16_t kRootKeyFlags = 0x2C;
constexpr uint32_t kKeyAllAccess = 0xF003F;
constexpr uint32_t kKeyRead = 0x20019;

size_t AlignCell(size_t size) {
    return (size + 7) & ~static_cast<size_t>(7);
}

void AppendLe16(std::vector<uint8_t> &out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void AppendLe32(std::vector<uint8_t> &out, uint32_t v) {
    AppendLe16(out, static_cast<uint16_t>(v));
    AppendLe16(out, static_cast<uint16_t>(v >> 16));
}

void AppendSid(std::vector<uint8_t> &out, uint8_t authority, std::initializer_list<uint32_t> subs) {
    out.push_back(1);
    out.push_back(static_cast<uint8_t>(subs.size()));
    for (int i = 0; i < 5; i++)
        out.push_back(0);
    out.push_back(authority);
    for (uint32_t sub : subs)
        AppendLe32(out, sub);
}

void AppendAce(std::vector<uint8_t> &out, uint32_t mask, uint8_t authority,
               std::initializer_list<uint32_t> subs) {
    std::vector<uint8_t> sid;
    AppendSid(sid, authority, subs);
    out.push_back(0);    // access allowed
    out.push_back(0x02); // inherited by subkeys
    AppendLe16(out, static_cast<uint16_t>(8 + sid.size()));
    AppendLe32(out, mask);
    out.insert(out.end(), sid.begin(), sid.end());
}

// A self-relative descriptor owned by Administrators with the group SYSTEM,
// granting SYSTEM and Administrators full control and everyone read access,
// the usual protection of a machine hive.
std::vector<uint8_t> BuildSecurityDescriptor() {
    std::vector<uint8_t> aces;
    AppendAce(aces, kKeyAllAccess, 5, {18});
    AppendAce(aces, kKeyAllAccess, 5, {32, 544});
    AppendAce(aces, kKeyRead, 1, {0});
    std::vector<uint8_t> sd = {1, 0};
    AppendLe16(sd, 0x8004); // self-relative, DACL present
    uint32_t dacl = 20, owner = dacl + 8 + static_cast<uint32_t>(aces.size());
    AppendLe32(sd, owner);
    AppendLe32(sd, owner + 16);
    AppendLe32(sd, 0);
    AppendLe32(sd, dacl);
    sd.push_back(2);
    sd.push_back(0);
    AppendLe16(sd, static_cast<uint16_t>(8 + aces.size()));
    AppendLe16(sd, 3);
    AppendLe16(sd, 0);
    sd.insert(sd.end(), aces.begin(), aces.end());
    AppendSid(sd, 5, {32, 544});
    AppendSid(sd, 5, {18});
    return sd;
}

size_t WriteRootKey(uint8_t *cell, const std::string &name, uint32_t securityCell,
                    uint64_t filetime) {
    size_t size = AlignCell(kKeyCellHeaderSize + name.size());
    WriteLe32(cell, 0u - static_cast<uint32_t>(size));
    memcpy(cell + 4, "nk", 2);
    WriteLe16(cell + 6, kRootKeyFlags);
    WriteLe64(cell + 8, filetime);
    WriteLe32(cell + 0x14, kNoCell); // parent: none
    WriteLe32(cell + 0x20, kNoCell); // subkey list
    WriteLe32(cell + 0x24, kNoCell); // volatile subkey list
    WriteLe32(cell + 0x2C, kNoCell); // value list
    WriteLe32(cell + 0x30, securityCell);
    WriteLe32(cell + 0x34, kNoCell); // class name
    WriteLe16(cell + 0x4C, static_cast<uint16_t>(name.size()));
    memcpy(cell + kKeyCellHeaderSize, name.data(), name.size());
    return size;
}

// The one security cell, linked to itself as the only member of the
// hive's list of descriptors and used once, by the root key.
size_t WriteSecurityCell(uint8_t *cell, uint32_t offset) {
    std::vector<uint8_t> sd = BuildSecurityDescriptor();
    size_t size = AlignCell(4 + 20 + sd.size());
    WriteLe32(cell, 0u - static_cast<uint32_t>(size));
    memcpy(cell + 4, "sk", 2);
    WriteLe32(cell + 8, offset);
    WriteLe32(cell + 12, offset);
    WriteLe32(cell + 16, 1);
    WriteLe32(cell + 20, static_cast<uint32_t>(sd.size()));
    memcpy(cell + 24, sd.data(), sd.size());
    return size;
}

void WriteBin(uint8_t *bin, const std::string &rootName, uint64_t filetime) {
    memcpy(bin, "hbin", 4);
    WriteLe32(bin + 8, kBinAlignment);
    WriteLe64(bin + 0x14, filetime);
    uint32_t security = kRootCell + AlignCell(kKeyCellHeaderSize + rootName.size());
    WriteRootKey(bin + kRootCell, rootName, security, filetime);
    uint32_t free = security + WriteSecurityCell(bin + security, security);
    WriteLe32(bin + free, kBinAlignment - free);
}

void WriteBaseBlock(uint8_t *base, uint64_t filetime) {
    memcpy(base, "regf", 4);
    WriteLe32(base + kSequence1Offset, 1);
    WriteLe32(base + kSequence2Offset, 1);
    WriteLe32(base + kMajorVersionOffset, 1);
    WriteLe32(base + kMinorVersionOffset, 5);
    WriteLe32(base + kFileFormatOffset, 1);
    WriteLe32(base + kRootCellOffset, kRootCell);
    WriteLe32(base + kBinsSizeOffset, kBinAlignment);
    WriteLe32(base + kClusteringOffset, 1);
    StampBaseBlock(base, filetime);
}

} // namespace

bool IsValidRootName(const std::string &name) {
    if (name.empty() || name.size() > 255)
        return false;
    for (char c : name) {
        if (c < 0x20 || c > 0x7E || c == '\\')
            return false;
    }
    return true;
}

std::vector<uint8_t> BuildEmptyHive(const std::string &rootName, uint64_t filetime) {
    std::vector<uint8_t> image(kMinimumHiveSize, 0);
    WriteBin(image.data() + kBaseBlockSize, rootName, filetime);
    WriteBaseBlock(image.data(), filetime);
    return image;
}

uint64_t StampBaseBlock(uint8_t *base, uint64_t filetime) {
    // The system reads a checksum of 0 or ~0 as a damaged header, so nudge
    // the timestamp until the sum is neither.
    uint32_t sum;
    do {
        WriteLe64(base + kTimestampOffset, filetime++);
        sum = BaseBlockChecksum(base);
    } while (sum == 0 || sum == 0xFFFFFFFF);
    WriteLe32(base + kChecksumOffset, sum);
    return filetime - 1;
}

uint64_t CurrentFiletime() {
    const uint64_t secondsFrom1601To1970 = 11644473600ULL;
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return (static_cast<uint64_t>(now.tv_sec) + secondsFrom1601To1970) * 10000000ULL +
           static_cast<uint64_t>(now.tv_nsec) / 100;
}
