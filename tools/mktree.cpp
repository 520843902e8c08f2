// mktree ROOT [CURRENT [DEFAULT]]: lays out a minimal offline Windows tree
// below ROOT for trying the installer: WINNT/system32/drivers and a SYSTEM
// hive whose Select\Current and Select\Default (both 1 unless given) name
// control sets holding Services\EventLog\System.
#include "platform/posix/hive/hive.h"

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char **argv) {
    unsigned sets[2] = {1, 1};
    bool ok = argc >= 2 && argc <= 4;
    for (int i = 2; ok && i < argc; i++) {
        char *end = nullptr;
        unsigned long value = strtoul(argv[i], &end, 10);
        ok = *argv[i] != '\0' && *end == '\0' && value >= 1 && value <= 999;
        sets[i - 2] = sets[1] = static_cast<unsigned>(value);
    }
    std::string error;
    if (!ok) {
        fprintf(stderr, "usage: %s ROOT [CURRENT [DEFAULT]]  (control sets 1-999)\n", argv[0]);
        return 2;
    }
    if (!MakeWindowsTree(argv[1], TreeLayout{sets[0], sets[1]}, &error)) {
        fprintf(stderr, "%s: %s\n", argv[0], error.c_str());
        return 1;
    }
    return 0;
}
