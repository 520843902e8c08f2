// A preload library for one informational row of the benchmark: fsync and
// fdatasync return at once, so that row shows what forcing the new hive and
// the driver file to disk costs a run.  Nothing outside bench/ uses it.
#include <unistd.h>

extern "C" int fsync(int) {
    return 0;
}

extern "C" int fdatasync(int) {
    return 0;
}
