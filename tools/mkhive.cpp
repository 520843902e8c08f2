// mkhive OUTFILE [ROOTNAME]: writes a valid, empty registry hive holding
// only its root key, ready for hivex or hivexsh -w to fill.
#include "platform/posix/hive/hive.h"

#include <cstdio>
#include <string>

int main(int argc, char **argv) {
    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: %s OUTFILE [ROOTNAME]\n", argv[0]);
        return 2;
    }
    std::string rootName = argc == 3 ? argv[2] : "ROOT";
    if (!IsValidRootName(rootName)) {
        fprintf(stderr,
                "%s: the root name must be 1 to 255 printable ASCII characters "
                "without a backslash\n",
                argv[0]);
        return 2;
    }
    std::string error;
    if (!WriteEmptyHive(argv[1], rootName, &error)) {
        fprintf(stderr, "%s: %s\n", argv[0], error.c_str());
        return 1;
    }
    return 0;
}
