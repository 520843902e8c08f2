// The content of a SYSTEM hive of a working installation, scaled to a
// chosen size: one control set whose Services holds about 2,000 services
// at full size, with Enum, Control\Class and the driver database filling
// the rest, keys and values shaped and named as a real hive has them.
#ifndef DRVINST_BENCH_SYSTEMHIVE_H
#define DRVINST_BENCH_SYSTEMHIVE_H

#include "bench/hivewriter.h"

#include <cstddef>
#include <memory>

struct SystemHiveShape {
    double megabytes = 30; // the size aimed at; the result lands within a few percent
    size_t services = 0;   // 0: scaled with the size, 2,000 from 30 MB up
    // Subkeys of an old Services\korvex1 left for an install to remove;
    // -1 leaves no such key at all.
    long oldServiceSubkeys = -1;
};

std::unique_ptr<BenchKey> BuildSystemHive(const SystemHiveShape &shape);

#endif
