// File attributes with the Windows contract, for paths that reach POSIX
// files with "\" read as "/" and case ignored.
#include "platform/platform.h"

#include "platform/posix/confine.h"

#include <sys/stat.h>

DWORD GetFileAttributesA(LPCSTR fileName) {
    if (fileName == nullptr)
        return INVALID_FILE_ATTRIBUTES;
    TreePlace place;
    if (!FindPlace(fileName, true, &place)) {
        if (!place.refusal.empty())
            EndRefused(fileName, place);
        return INVALID_FILE_ATTRIBUTES;
    }
    if (!place.exists)
        return INVALID_FILE_ATTRIBUTES;
    if (S_ISDIR(place.st.st_mode))
        return FILE_ATTRIBUTE_DIRECTORY;
    return (place.st.st_mode & S_IWUSR) ? FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_READONLY;
}
