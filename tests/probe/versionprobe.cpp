// Test-only program: prints what an install would read as a file's version.
// Usage: versionprobe [-V] file
#include "driverfile/driverfile.h"
#include "front/state.h"

#include <cstdio>
#include <cstring>

int main(int argc, char **argv) {
    int first = 1;
    if (argc > 1 && strcmp(argv[1], "-V") == 0) {
        state.verboseFlag = 1;
        first = 2;
    }
    if (argc != first + 1) {
        fputs("usage: versionprobe [-V] file\n", stderr);
        return 2;
    }
    int32_t major = 0, minor = 0;
    if (!GetFileVersion(argv[first], &major, &minor)) {
        printf("result false\n");
        return 1;
    }
    printf("result true %d.%d\n", major, minor);
    return 0;
}
