#include "platform/platform.h"

#include "hivesession.h"

#include <cstdio>
#include <cstdlib>

void EndProcess(int status) {
    fflush(stdout);
    exit(HiveFinish(status));
}
