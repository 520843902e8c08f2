// Any file at all, read the way an install reads a driver's version: the
// block sized exactly as asked (so a read past it is caught), both
// queries, and every character of each answer.
#include "platform/platform.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

// One scratch file per process, removed when the run ends; in memory
// where the system offers a place for that, since it is rewritten for
// every input.
static const std::string &ScratchPath() {
    static const std::string path = [] {
        std::string dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string pattern = dir + "/version_fuzz.XXXXXX";
        int fd = mkstemp(&pattern[0]);
        if (fd < 0) {
            perror("mkstemp");
            abort();
        }
        close(fd);
        atexit([] { unlink(ScratchPath().c_str()); });
        return pattern;
    }();
    return path;
}

static void WriteScratch(const uint8_t *data, size_t size) {
    FILE *f = fopen(ScratchPath().c_str(), "wb");
    if (f == nullptr || fwrite(data, 1, size, f) != size || fclose(f) != 0)
        abort();
}

static volatile unsigned sink;

static void QueryAll(const void *block, const char *path) {
    LPVOID value = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(block, path, &value, &length))
        return;
    const unsigned char *bytes = static_cast<const unsigned char *>(value);
    unsigned sum = 0;
    for (UINT i = 0; i < length; i++)
        sum += bytes[i];
    sink = sink + sum;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    WriteScratch(data, size);
    const char *path = ScratchPath().c_str();
    DWORD handle = 0;
    DWORD needed = GetFileVersionInfoSizeA(path, &handle);
    if (needed == 0)
        return 0;
    std::vector<uint8_t> block(needed);
    if (!GetFileVersionInfoA(path, handle, needed, block.data()))
        return 0;
    QueryAll(block.data(), "\\");
    QueryAll(block.data(), "\\StringFileInfo\\040904B0\\FileVersion");
    QueryAll(block.data(), "\\VarFileInfo\\Translation");
    return 0;
}
