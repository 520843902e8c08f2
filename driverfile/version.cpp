#include "driverfile/driverfile.h"
#include "front/messages.h"
#include "front/state.h"

#include <climits>
#include <cstdlib>

// Decimal value of text[from, to), or false when it does not fit an int32.
static bool DecimalValue(const char *text, uint32_t from, uint32_t to, int32_t *value) {
    int64_t total = 0;
    for (uint32_t i = from; i < to; i++) {
        total = total * 10 + (text[i] - '0');
        if (total > INT32_MAX) {
            Verbose("Version number too large\n");
            return false;
        }
    }
    *value = static_cast<int32_t>(total);
    return true;
}

static bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// The minor part runs from start over digits only; the scan ends at the
// first non-digit or at the reported count, whichever comes first.
static bool ParseMinor(const char *text, uint32_t start, uint32_t count, int32_t *minor) {
    uint32_t end = start;
    while (end < count && IsDigit(text[end]))
        end++;
    if (end == start) {
        *minor = 0;
        return true;
    }
    return DecimalValue(text, start, end, minor);
}

bool ParseFileVersion(const char *text, uint32_t count, int32_t *major, int32_t *minor) {
    uint32_t start = 0;
    while (start < count && text[start] == ' ')
        start++;
    for (uint32_t i = start; i < count; i++) {
        char c = text[i];
        if (c == '.' && i == start) {
            Verbose("Dot character can not lead the string\n");
            return false;
        }
        if (c == '.') {
            int32_t majorValue;
            if (!DecimalValue(text, start, i, &majorValue) ||
                !ParseMinor(text, i + 1, count, minor))
                return false;
            *major = majorValue;
            return true;
        }
        if (!IsDigit(c)) {
            Verbose("Non-digit character exists. %02x\n", static_cast<unsigned char>(c));
            *major = 0;
            *minor = 0;
            return true;
        }
    }
    return false;
}

// The version resource of the file, or nullptr; the caller frees it.
static char *ReadVersionInfo(const char *path) {
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(path, &handle);
    if (size == 0)
        return nullptr;
    char *versionInfo = static_cast<char *>(malloc(size));
    if (versionInfo == nullptr) {
        Verbose("Malloc failed: could not allocate memory for versionInfo\n");
        return nullptr;
    }
    if (!GetFileVersionInfoA(path, handle, size, versionInfo)) {
        Verbose("GetFileVersionInfo() failed: FileName %s\n", path);
        free(versionInfo);
        return nullptr;
    }
    return versionInfo;
}

bool GetFileVersion(const char *path, int32_t *major, int32_t *minor) {
    char *versionInfo = ReadVersionInfo(path);
    if (versionInfo == nullptr)
        return false;
    LPVOID value = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(versionInfo, "\\", &value, &length) ||
        !VerQueryValueA(versionInfo, "\\StringFileInfo\\040904B0\\FileVersion", &value, &length)) {
        Verbose("VerQueryValue() failed\n");
        free(versionInfo);
        return false;
    }
    const char *text = static_cast<const char *>(value);
    int width = static_cast<int>(length);
    Verbose("%s FileVersion : %*.*s\n", path, width, width, text);
    bool ok = ParseFileVersion(text, length, major, minor);
    free(versionInfo);
    return ok;
}
