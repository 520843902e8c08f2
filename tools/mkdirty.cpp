// mkdirty HIVE VARIANT [STEPS [BYTES]]: leaves a clean hive dirty, its latest
// changes only in its logs.  Step N, made with hivex on a copy, sets korvex2's
// StepN (BYTES characters for the last step, else 5); its changed pages make one
// log entry.  Variants: log1, split (last entry in LOG2), badlast (last one bad),
// gap (middle one missing), badsum (log1, bad primary checksum, LOG2 older and
// ending short of LOG1), far (log1 far past the primary), lower (split,
// lower-case log names), grow (log1, last step adds a bin), old (old format,
// stale LOG2), nolog, empty, stale (the primary clean, LOG2 holding entries
// numbered past it, which only a writer's mistake could chain to its own).
#include "platform/posix/hive/hive.h"

#include <hivex.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

namespace {

using Bytes = std::vector<uint8_t>;

[[noreturn]] void Fail(const std::string &what) {
    fprintf(stderr, "mkdirty: %s\n", what.c_str());
    exit(1);
}

Bytes Slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void Spill(const std::string &path, const Bytes &bytes) {
    FILE *f = fopen(path.c_str(), "wb");
    if (!f || (!bytes.empty() && fwrite(&bytes[0], bytes.size(), 1, f) != 1) || fclose(f))
        Fail("cannot write " + path);
}

// One step of the pending change, made with hivex in scratch: the bytes it leaves.
Bytes Step(const std::string &scratch, int step, size_t characters) {
    hive_h *h = hivex_open(scratch.c_str(), HIVEX_OPEN_WRITE);
    if (h == nullptr)
        Fail("hivex cannot open the hive");
    hive_node_h key = hivex_root(h);
    for (const char *name : {"ControlSet001", "Services", "korvex2"}) {
        hive_node_h child = hivex_node_get_child(h, key, name);
        if ((key = child ? child : hivex_node_add_child(h, key, name)) == 0)
            Fail("cannot make a key");
    }
    std::string name = "Step" + std::to_string(step), data(2 * characters + 2, '\0');
    for (size_t i = 0; i < characters; i++)
        data[2 * i] = static_cast<char>('a' + (i + step) % 26);
    hive_set_value value = {&name[0], hive_t_REG_SZ, data.size(), &data[0]};
    if (hivex_node_set_value(h, key, &value, 0) != 0 || hivex_commit(h, nullptr, 0) != 0)
        Fail("hivex cannot make the change");
    hivex_close(h);
    return Slurp(scratch);
}

uint32_t Bins(const Bytes &hive) {
    return ReadLe32(hive.data() + kBinsSizeOffset);
}

// The offsets (from the bins' start) of the 4096-byte blocks that differ.
std::vector<uint32_t> Changed(const Bytes &before, const Bytes &after) {
    std::vector<uint32_t> pages;
    for (uint32_t at = 0; at < Bins(after); at += kBinAlignment)
        if (kBaseBlockSize + at + kBinAlignment > before.size() ||
            memcmp(&before[kBaseBlockSize + at], &after[kBaseBlockSize + at], kBinAlignment))
            pages.push_back(at);
    return pages;
}

Bytes Entry(const Bytes &before, const Bytes &after, uint32_t sequence) {
    std::vector<uint32_t> pages = Changed(before, after);
    size_t count = pages.size(), data = kLogEntryHeaderSize + 8 * count;
    Bytes entry((data + kBinAlignment * count + kLogSector - 1) / kLogSector * kLogSector, 0);
    const uint32_t size = static_cast<uint32_t>(entry.size()),
                   head[] = {0, size, 0, sequence, Bins(after), static_cast<uint32_t>(count)};
    for (size_t i = 1; i < 6; i++)
        WriteLe32(&entry[4 * i], head[i]);
    memcpy(&entry[0], "HvLE", 4);
    for (size_t i = 0; i < count; i++) {
        WriteLe32(&entry[kLogEntryHeaderSize + 8 * i], pages[i]);
        WriteLe32(&entry[kLogEntryHeaderSize + 8 * i + 4], kBinAlignment);
        memcpy(&entry[data + kBinAlignment * i], &after[kBaseBlockSize + pages[i]], kBinAlignment);
    }
    // The header's hash covers the data's, so the data's comes first.
    for (size_t at : {24, 32}) {
        uint64_t h = Marvin32(&entry[at == 24 ? 40 : 0], at == 24 ? size - 40 : 32, kLogEntrySeed);
        WriteLe32(&entry[at], static_cast<uint32_t>(h));
        WriteLe32(&entry[at + 4], static_cast<uint32_t>(h >> 32));
    }
    return entry;
}

// A log's first sector: the clean hive's base block marked as a log's, age older.
Bytes LogHead(const Bytes &clean, uint32_t type, uint32_t sequence, uint32_t bins, uint32_t age = 0,
              const Bytes &body = {}) {
    Bytes head(clean.begin(), clean.begin() + kLogSector);
    WriteLe32(&head[kSequence1Offset], sequence);
    WriteLe32(&head[kSequence2Offset], sequence);
    WriteLe32(&head[kFileTypeOffset], type);
    WriteLe32(&head[kBinsSizeOffset], bins);
    WriteLe32(&head[kTimestampOffset], ReadLe32(&head[kTimestampOffset]) - age);
    WriteLe32(&head[kChecksumOffset], BaseBlockChecksum(head.data()));
    head.insert(head.end(), body.begin(), body.end());
    return head;
}

} // namespace

int main(int argc, char **argv) {
    const std::string known =
        " log1 split badlast gap badsum far lower grow old nolog empty stale ";
    std::string variant = argc > 2 ? argv[2] : "";
    if (argc < 3 || argc > 5 || known.find(' ' + variant + ' ') == known.npos)
        Fail("usage: mkdirty HIVE VARIANT [STEPS [BYTES]]");
    std::string hive = argv[1], dir = hive.substr(0, hive.rfind('/') + 1);
    size_t steps = argc > 3 ? strtoul(argv[3], nullptr, 10) : 3;
    size_t last = argc > 4 ? strtoul(argv[4], nullptr, 10) : variant == "grow" ? 3000 : 5;
    Bytes clean = Slurp(hive), state = clean;
    if (clean.size() < kMinimumHiveSize || steps < (variant == "gap" ? 3u : 1u))
        Fail("not a hive, or too few steps");
    Spill(hive + ".mkdirty", clean);
    uint32_t sequence = ReadLe32(&clean[kSequence2Offset]),
             first = sequence + 486 * (variant == "far") + 3 * (variant == "badsum");
    // LOG1 takes entries [0, held), LOG2 [resumed, steps), or is stale when that is empty.
    bool split = variant == "split" || variant == "lower";
    size_t held = variant == "gap" || variant == "stale" ? 1 : steps - split,
           resumed = variant == "gap" ? 2 : held;
    uint32_t second = resumed < steps ? first + uint32_t(resumed) : sequence > 7 ? sequence - 7 : 0;
    Bytes log1 = LogHead(clean, kNewLogFile, first, Bins(clean));
    Bytes log2 = LogHead(clean, kNewLogFile, second, Bins(clean));
    for (size_t i = 0; i < steps; i++) {
        Bytes next = Step(hive + ".mkdirty", int(i + 1), i + 1 == steps ? last : 5);
        Bytes entry = Entry(state, next, first + uint32_t(i));
        entry.back() ^= variant == "badlast" && i + 1 == steps;
        if (i < held || i >= resumed)
            std::copy(entry.begin(), entry.end(), std::back_inserter(i < held ? log1 : log2));
        state.swap(next);
    }
    remove((hive + ".mkdirty").c_str());
    if (variant == "badsum") // pages older than the primary's, were they applied
        log2 = LogHead(clean, kNewLogFile, sequence, Bins(clean), 0, Entry(state, clean, sequence));
    if (variant == "old") { // a bitmap of dirty 512-byte pages, then those pages
        Bytes dirt((4 + (Bins(state) / 512 + 7) / 8 + kLogSector - 1) / kLogSector * kLogSector, 0);
        memcpy(&dirt[0], "DIRT", 4);
        for (uint32_t at : Changed(clean, state)) {
            dirt[4 + at / 512 / 8] = 0xFF;
            auto page = state.begin() + kBaseBlockSize + at;
            dirt.insert(dirt.end(), page, page + kBinAlignment);
        }
        log1 = LogHead(clean, kOldLogFile, first, Bins(state), 0, dirt);
        log2 = LogHead(clean, kOldLogFile, first + 5, Bins(state), 1, dirt);
    }
    // The primary keeps its old contents; a write to it had begun.
    WriteLe32(&clean[kSequence1Offset], sequence + (variant != "stale"));
    WriteLe32(&clean[kChecksumOffset], BaseBlockChecksum(clean.data()) ^ (variant == "badsum"));
    Spill(hive, clean);
    std::string log = dir + (variant == "lower" ? "system.log" : "SYSTEM.LOG");
    if (variant != "nolog")
        for (const auto &[name, bytes] :
             {std::make_pair(log + "1", log1), {log + "2", log2}, {dir + "SYSTEM.LOG", Bytes()}})
            Spill(name, variant == "empty" ? Bytes() : bytes);
    return 0;
}
