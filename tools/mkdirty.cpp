// mkdirty HIVE VARIANT [STEPS [BYTES]]: makes a clean hive dirty the way
// the system leaves one whose latest changes are only in its transaction
// logs.  The pending change is made with hivex on a copy, one step at a
// time: step N sets the value StepN of ControlSet001\Services\korvex2
// (BYTES characters long for the last step; 5 by default).  The pages each
// step changed become one log entry, or for the old format one bitmap of
// dirty pages; HIVE keeps its old contents, marked dirty.
//
// Variants: log1 (every entry in LOG1), split (the last entry in LOG2),
// badlast (the last entry damaged), gap (the middle entry missing), badsum
// (split, and the primary's checksum wrong), far (log1, the primary's
// sequence numbers far below the entries', as after a partial reconcile),
// lower (split, log names in lower case), grow (log1, the last step grows
// the hive by a bin), old (old format in LOG1, a stale LOG2 beside it),
// nolog (no log at all), empty (empty logs).
#include "platform/posix/hive/hive.h"

#include <hivex.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void Spill(const std::string &path, const Bytes &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        fprintf(stderr, "mkdirty: cannot write %s\n", path.c_str());
        exit(1);
    }
}

void Fail(const char *what) {
    fprintf(stderr, "mkdirty: %s\n", what);
    exit(1);
}

hive_node_h Child(hive_h *h, hive_node_h parent, const char *name) {
    hive_node_h node = hivex_node_get_child(h, parent, name);
    if (node == 0)
        node = hivex_node_add_child(h, parent, name);
    if (node == 0)
        Fail("cannot make a key");
    return node;
}

// One step of the pending change, made with hivex in scratch; the bytes
// it leaves.
Bytes Step(const std::string &scratch, int step, size_t characters) {
    hive_h *h = hivex_open(scratch.c_str(), HIVEX_OPEN_WRITE);
    if (h == nullptr)
        Fail("hivex cannot open the hive");
    hive_node_h key =
        Child(h, Child(h, Child(h, hivex_root(h), "ControlSet001"), "Services"), "korvex2");
    std::string name = "Step" + std::to_string(step);
    std::string data;
    for (size_t i = 0; i < characters; i++)
        data += std::string(1, static_cast<char>('a' + (i + step) % 26)) + '\0';
    data += std::string(2, '\0');
    hive_set_value value = {&name[0], hive_t_REG_SZ, data.size(), &data[0]};
    if (hivex_node_set_value(h, key, &value, 0) != 0 || hivex_commit(h, nullptr, 0) != 0)
        Fail("hivex cannot make the change");
    hivex_close(h);
    return Slurp(scratch);
}

uint32_t Bins(const Bytes &hive) {
    return ReadLe32(hive.data() + kBinsSizeOffset);
}

// Whether the 4096-byte block at offset (from the bins' start) differs.
bool Differs(const Bytes &before, const Bytes &after, size_t offset) {
    size_t at = kBaseBlockSize + offset;
    return at + kBinAlignment > before.size() ||
           memcmp(&before[at], &after[at], kBinAlignment) != 0;
}

void PutLe64(uint8_t *p, uint64_t v) {
    WriteLe32(p, static_cast<uint32_t>(v));
    WriteLe32(p + 4, static_cast<uint32_t>(v >> 32));
}

// The entry that turns before into after.
Bytes Entry(const Bytes &before, const Bytes &after, uint32_t sequence) {
    std::vector<uint32_t> pages;
    for (uint32_t at = 0; at < Bins(after); at += kBinAlignment) {
        if (Differs(before, after, at))
            pages.push_back(at);
    }
    size_t size = kLogEntryHeaderSize + 8 * pages.size() + kBinAlignment * pages.size();
    size = (size + kLogSector - 1) / kLogSector * kLogSector;
    Bytes entry(size, 0);
    memcpy(&entry[0], "HvLE", 4);
    WriteLe32(&entry[4], static_cast<uint32_t>(size));
    WriteLe32(&entry[12], sequence);
    WriteLe32(&entry[16], Bins(after));
    WriteLe32(&entry[20], static_cast<uint32_t>(pages.size()));
    uint8_t *data = &entry[kLogEntryHeaderSize + 8 * pages.size()];
    for (size_t i = 0; i < pages.size(); i++) {
        WriteLe32(&entry[kLogEntryHeaderSize + 8 * i], pages[i]);
        WriteLe32(&entry[kLogEntryHeaderSize + 8 * i + 4], kBinAlignment);
        memcpy(data + kBinAlignment * i, &after[kBaseBlockSize + pages[i]], kBinAlignment);
    }
    PutLe64(&entry[24], Marvin32(&entry[40], size - 40, kLogEntrySeed));
    PutLe64(&entry[32], Marvin32(&entry[0], 32, kLogEntrySeed));
    return entry;
}

void Seal(uint8_t *base) {
    WriteLe32(base + kChecksumOffset, BaseBlockChecksum(base));
}

// A log's first sector: the clean hive's base block, marked as a log's.
Bytes LogHead(const Bytes &clean, uint32_t type, uint32_t sequence, uint64_t timestampDelta = 0) {
    Bytes head(clean.begin(), clean.begin() + kLogSector);
    WriteLe32(&head[kSequence1Offset], sequence);
    WriteLe32(&head[kSequence2Offset], sequence);
    WriteLe32(&head[kFileTypeOffset], type);
    WriteLe32(&head[kTimestampOffset], ReadLe32(&head[kTimestampOffset]) - timestampDelta);
    Seal(head.data());
    return head;
}

Bytes NewLog(const Bytes &clean, uint32_t sequence, const std::vector<Bytes> &entries) {
    Bytes log = LogHead(clean, kNewLogFile, sequence);
    for (const Bytes &entry : entries)
        log.insert(log.end(), entry.begin(), entry.end());
    return log;
}

// The old format: every 512-byte page of the blocks that differ.
Bytes OldLog(const Bytes &clean, const Bytes &after, uint32_t sequence) {
    Bytes log = LogHead(clean, kOldLogFile, sequence);
    WriteLe32(&log[kBinsSizeOffset], Bins(after));
    Seal(log.data());
    size_t bits = Bins(after) / 512;
    Bytes vector(4 + (bits + 7) / 8, 0);
    memcpy(&vector[0], "DIRT", 4);
    Bytes pages;
    for (uint32_t at = 0; at < Bins(after); at += kBinAlignment) {
        if (!Differs(clean, after, at))
            continue;
        vector[4 + at / 512 / 8] = 0xFF;
        pages.insert(pages.end(), &after[kBaseBlockSize + at],
                     &after[kBaseBlockSize + at + kBinAlignment]);
    }
    log.insert(log.end(), vector.begin(), vector.end());
    log.resize((log.size() + kLogSector - 1) / kLogSector * kLogSector, 0);
    log.insert(log.end(), pages.begin(), pages.end());
    return log;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 3 || argc > 5) {
        fprintf(stderr, "usage: %s HIVE VARIANT [STEPS [BYTES]]\n", argv[0]);
        return 2;
    }
    std::string hive = argv[1], variant = argv[2];
    int steps = argc > 3 ? atoi(argv[3]) : 3;
    size_t last = argc > 4 ? strtoul(argv[4], nullptr, 10) : variant == "grow" ? 3000 : 5;
    std::string dir = hive.substr(0, hive.rfind('/') + 1);
    std::string scratch = hive + ".mkdirty";
    Bytes clean = Slurp(hive);
    if (clean.size() < kMinimumHiveSize || steps < 1)
        Fail("not a hive, or no steps");
    Spill(scratch, clean);
    Bytes state = clean;
    std::vector<Bytes> entries;
    uint32_t sequence = ReadLe32(&clean[kSequence2Offset]);
    uint32_t first = sequence + (variant == "far" ? 486 : 0);
    for (int i = 1; i <= steps; i++) {
        Bytes next = Step(scratch, i, i == steps ? last : 5);
        entries.push_back(Entry(state, next, first + i - 1));
        state.swap(next);
    }
    remove(scratch.c_str());

    // The primary keeps its old contents; a write to it had begun.
    Bytes primary = clean;
    WriteLe32(&primary[kSequence1Offset], sequence + 1);
    Seal(primary.data());
    if (variant == "badsum")
        primary[kChecksumOffset] ^= 1;
    Spill(hive, primary);

    std::string log1 = variant == "lower" ? "system.log1" : "SYSTEM.LOG1";
    std::string log2 = variant == "lower" ? "system.log2" : "SYSTEM.LOG2";
    std::vector<Bytes> head(entries.begin(), entries.end() - 1);
    Bytes stale = LogHead(clean, kNewLogFile, sequence > 7 ? sequence - 7 : 0);
    if (variant == "log1" || variant == "far" || variant == "grow" || variant == "badlast") {
        if (variant == "badlast")
            entries.back().back() ^= 1;
        Spill(dir + log1, NewLog(clean, first, entries));
        Spill(dir + log2, stale);
    } else if (variant == "split" || variant == "badsum" || variant == "lower") {
        Spill(dir + log1, NewLog(clean, first, head));
        Spill(dir + log2, NewLog(clean, first + steps - 1, {entries.back()}));
    } else if (variant == "gap") {
        if (steps < 3)
            Fail("a gap needs three steps");
        Spill(dir + log1, NewLog(clean, first, {entries[0]}));
        Spill(dir + log2, NewLog(clean, first + 2, {entries.begin() + 2, entries.end()}));
    } else if (variant == "old") {
        Spill(dir + log1, OldLog(clean, state, first));
        Bytes other = OldLog(clean, state, first + 5);
        WriteLe32(&other[kTimestampOffset], ReadLe32(&other[kTimestampOffset]) - 1);
        Seal(other.data());
        Spill(dir + log2, other);
    } else if (variant == "empty") {
        Spill(dir + log1, {});
        Spill(dir + log2, {});
    } else if (variant != "nolog") {
        Fail("unknown variant");
    }
    if (variant != "nolog")
        Spill(dir + "SYSTEM.LOG", {});
    return 0;
}
