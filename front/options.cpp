#include "front/front.h"
#include "front/state.h"
#include "platform/platform.h"

#include <cstdio>

void Usage() {
    printf("\nUsage: drvinst -D DriverName [-U] [-F] [-V]\n\n");
    printf("-D: Specify the name of the driver to be installed or uninstalled.\n");
    printf("    DriverName can be either korvex1 or korvex2.\n\n");
    printf("-U: Uninstall driver.\n\n");
    printf("-F: Force driver installation.\n\n");
    printf("-V: Turn on verbose mode.\n\n");
    EndProcess(1);
}

// Only the second character of a switch counts, so "-verbose" is -V and
// "-Dkorvex2" is a -D whose name is the next argument.
void ScanOptions(int argc, char **argv) {
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        if (arg[0] != '-')
            continue;
        switch (arg[1]) {
        case 'D':
        case 'd':
            if (++i >= argc)
                Usage();
            state.driverName = argv[i];
            break;
        case 'F':
        case 'f':
            state.forceFlag = 1;
            break;
        case 'U':
        case 'u':
            state.uninstallFlag = 1;
            break;
        case 'V':
        case 'v':
            state.verboseFlag = 1;
            SetPlatformVerbose(true);
            break;
        default:
            Usage();
        }
    }
}
