// File attributes with the Windows contract, for paths that reach POSIX
// files with "\" read as "/" and case ignored.
#include "platform/platform.h"

#include "platform/posix/ntpath.h"

#include <sys/stat.h>

DWORD GetFileAttributesA(LPCSTR fileName) {
    struct stat st;
    if (fileName == nullptr || stat(ResolveWindowsPath(fileName).c_str(), &st) != 0)
        return INVALID_FILE_ATTRIBUTES;
    if (S_ISDIR(st.st_mode))
        return FILE_ATTRIBUTE_DIRECTORY;
    return (st.st_mode & S_IWUSR) ? FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_READONLY;
}
