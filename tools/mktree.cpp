// mktree ROOT [CURRENT [DEFAULT]]: lays out a minimal offline Windows tree
// below ROOT for trying the installer: WINNT/system32/drivers and a SYSTEM
// hive whose Select\Current and Select\Default (both 1 unless given) name
// control sets holding Services\EventLog\System.
#include "platform/posix/hive/hive.h"

#include <cstdio>
#include <cstdlib>
#include <string>

static bool ParseSet(const char *text, unsigned *number) {
    char *end = nullptr;
    unsigned long value = strtoul(text, &end, 10);
    if (*text == '\0' || *end != '\0' || value < 1 || value > 999)
        return false;
    *number = static_cast<unsigned>(value);
    return true;
}

int main(int argc, char **argv) {
    TreeLayout layout;
    bool ok = argc >= 2 && argc <= 4;
    if (ok && argc >= 3)
        ok = ParseSet(argv[2], &layout.current);
    layout.defaultSet = layout.current;
    if (ok && argc == 4)
        ok = ParseSet(argv[3], &layout.defaultSet);
    if (!ok) {
        fprintf(stderr, "usage: %s ROOT [CURRENT [DEFAULT]]  (control sets 1-999)\n", argv[0]);
        return 2;
    }
    std::string error;
    if (!MakeWindowsTree(argv[1], layout, &error)) {
        fprintf(stderr, "%s: %s\n", argv[0], error.c_str());
        return 1;
    }
    return 0;
}
