#include "platform/platform.h"

#include "platform/posix/hive/hive.h"

#include <cstdio>
#include <cstdlib>

void EndProcess(int status) {
    fflush(stdout);
    exit(HiveFinish(status));
}
