// A key tree held in memory and laid out as a complete hive file in one
// pass, shaped as a hive Windows wrote; hivewriter.cpp says why the
// benchmark does not build its hives through drvinst's engine or hivex.
// (hivex copies a subkey list on every insertion, never reuses the space
// and never splits a long list into an index of leaves.)
#ifndef DRVINST_BENCH_HIVEWRITER_H
#define DRVINST_BENCH_HIVEWRITER_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct BenchValue {
    std::string name; // printable ASCII
    uint32_t type;
    std::vector<uint8_t> data;
};

struct BenchKey {
    std::string name; // printable ASCII without a backslash
    std::vector<BenchValue> values;
    std::vector<std::unique_ptr<BenchKey>> children;

    BenchKey *Add(const std::string &childName);
    void Set(const std::string &valueName, uint32_t type, std::vector<uint8_t> data);
};

struct HiveCounts {
    size_t keys = 0;
    size_t values = 0;
};

// Lays the tree out as a hive file: sibling lists sorted and hashed the
// way the system looks them up, lists longer than leafSize split into an
// index of leaves, every cell inside one 4 KiB bin where it fits.
std::vector<uint8_t> LayOutHive(const BenchKey &root, size_t leafSize, HiveCounts *counts);

// String data as the hive stores it: UTF-16LE with the terminator.
std::vector<uint8_t> WideString(const std::string &ascii);
std::vector<uint8_t> Dword(uint32_t value);

#endif
