#include "platform/platform.h"

#include <cstdio>
#include <cstdlib>

// The interpreter shares our output; what is buffered here must come out
// before anything it writes.
int RunCommand(const char *command) {
    fflush(stdout);
    return system(command);
}
