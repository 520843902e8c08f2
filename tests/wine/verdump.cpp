// Prints what the version functions answer for each file named, byte by
// byte, so that the answers of Wine's version.dll and of our backend can be
// laid side by side.  Built for both: with MinGW for Wine, and on POSIX
// against the backend.  All files go through one process, as a Wine start
// is slow.
// Usage: verdump FILE...
#include "platform/platform.h"

#include <cstdio>
#include <vector>

static void Query(const void *block, const char *path) {
    LPVOID value = nullptr;
    UINT length = 0;
    printf("query %s : ", path);
    if (!VerQueryValueA(block, path, &value, &length)) {
        printf("false\n");
        return;
    }
    // Text answers count characters, binary ones bytes; one byte per
    // character is what the narrow answer holds either way.
    printf("true len=%u bytes=", length);
    for (UINT i = 0; i < length; i++)
        printf("%02x", static_cast<const unsigned char *>(value)[i]);
    printf("\n");
}

int main(int argc, char **argv) {
    for (int i = 1; i < argc; i++) {
        DWORD handle = 0, size = GetFileVersionInfoSizeA(argv[i], &handle);
        // Without a size, it tells an unreadable file from one without a version.
        unsigned long error = GetLastError();
        std::vector<char> block(size + 1);
        BOOL ok = size != 0 && GetFileVersionInfoA(argv[i], handle, size, block.data());
        printf("== %s\nsize ", argv[i]);
        size == 0 ? printf("0 error %lu\n", error) : printf("nonzero\n");
        printf("info %s\n", ok ? "true" : "false");
        for (const char *path :
             {"\\", "\\StringFileInfo\\040904B0\\FileVersion", "\\VarFileInfo\\Translation"})
            if (ok)
                Query(block.data(), path);
    }
    return 0;
}
