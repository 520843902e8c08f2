// Any file at all, read the way an install reads a driver's version: the
// block sized exactly as asked (so that a read past it is caught), the
// queries an install and Windows' tools make, and every byte of each answer.
#include "platform/platform.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

static std::string scratch;
static volatile unsigned sink;

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // In memory where the system offers it: the file is rewritten per input.
    scratch = std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + "/version.XXXXXX";
    int fd = mkstemp(&scratch[0]);
    if (fd < 0)
        abort();
    close(fd);
    atexit([] { unlink(scratch.c_str()); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FILE *f = fopen(scratch.c_str(), "wb");
    if (f == nullptr || fwrite(data, 1, size, f) != size || fclose(f) != 0)
        abort();
    DWORD handle = 0;
    DWORD needed = GetFileVersionInfoSizeA(scratch.c_str(), &handle);
    std::vector<uint8_t> block(needed);
    if (needed == 0 || !GetFileVersionInfoA(scratch.c_str(), handle, needed, block.data()))
        return 0;
    for (const char *path :
         {"\\", "\\StringFileInfo\\040904B0\\FileVersion", "\\VarFileInfo\\Translation"}) {
        LPVOID value = nullptr;
        UINT length = 0;
        if (VerQueryValueA(block.data(), path, &value, &length))
            for (UINT i = 0; i < length; i++)
                sink = sink + static_cast<const unsigned char *>(value)[i];
    }
    return 0;
}
