// Any file at all, read the way an install reads a driver's version: the
// block sized exactly as asked (so that a read past it is caught), the
// queries an install and Windows' tools make, and every byte of each answer.
#include "platform/platform.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

// The file, in memory, rewritten per input.
static int fd = -1;
static std::string scratch;
static volatile unsigned sink;

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fd = memfd_create("version", 0);
    scratch = "/proc/self/fd/" + std::to_string(fd);
    return fd < 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))
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
