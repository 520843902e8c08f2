// Prints what the version functions answer for a file, byte by byte, so
// that the answers of Wine's version.dll and of our backend can be laid
// side by side.  Built for both: with MinGW for Wine, and on POSIX
// against the backend.
// Usage: verdump [-a] FILE [QUERY...]
//        verdump --each FILE...   the three usual queries for each file,
//                                 in one process (a Wine start is slow)
//   -a also prints the two bytes after each answer (measurement only: it
//      reads past the reported length).
#include "platform/platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

static void Query(const void *block, const char *path, bool after) {
    LPVOID value = nullptr;
    UINT length = 0;
    printf("query %s : ", path);
    if (!VerQueryValueA(block, path, &value, &length)) {
        printf("false\n");
        return;
    }
    printf("true len=%u bytes=", length);
    const unsigned char *bytes = static_cast<const unsigned char *>(value);
    // Text answers count characters, binary ones bytes; one byte per
    // character is what the narrow answer holds either way.
    for (UINT i = 0; i < length; i++)
        printf("%02x", bytes[i]);
    if (after)
        printf(" after=%02x%02x", bytes[length], bytes[length + 1]);
    printf("\n");
}

static void Dump(const char *file, int argc, char **argv, bool after) {
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(file, &handle);
    printf("size %s\n", size == 0 ? "0" : "nonzero");
    if (size == 0)
        return;
    void *block = calloc(size, 1);
    BOOL ok = block != nullptr && GetFileVersionInfoA(file, handle, size, block);
    printf("info %s\n", ok ? "true" : "false");
    if (ok && argc == 0) {
        Query(block, "\\", after);
        Query(block, "\\StringFileInfo\\040904B0\\FileVersion", after);
        Query(block, "\\VarFileInfo\\Translation", after);
    }
    for (int i = 0; ok && i < argc; i++)
        Query(block, argv[i], after);
    free(block);
}

int main(int argc, char **argv) {
    if (argc > 1 && strcmp(argv[1], "--each") == 0) {
        for (int i = 2; i < argc; i++) {
            printf("== %s\n", argv[i]);
            Dump(argv[i], 0, nullptr, false);
        }
        return 0;
    }
    int first = 1;
    bool after = argc > 1 && strcmp(argv[1], "-a") == 0;
    if (after)
        first = 2;
    if (argc <= first) {
        fputs("usage: verdump [-a] FILE [QUERY...]\n", stderr);
        return 2;
    }
    Dump(argv[first], argc - first - 1, argv + first + 1, after);
    return 0;
}
