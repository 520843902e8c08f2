#include "driverfile/driverfile.h"
#include "front/messages.h"
#include "front/state.h"
#include "platform/platform.h"

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

// Failures of the version calls that say the file could not be read,
// with the reason shown: the file may well hold a version, so it must not
// be taken for one that has none.  Every other failure (no such file, no
// version resource, not an image) means that the file has no version; a
// list of those could never be complete, since each Windows release names
// them its own way.
static const struct {
    uint32_t code;
    const char *reason;
} readErrors[] = {
    {4, "too many open files"},
    {5, "access denied"},
    {8, "not enough memory"},
    {14, "not enough memory"},
    {21, "device not ready"},
    {23, "data error"},
    {25, "seek error"},
    {27, "sector not found"},
    {30, "read fault"},
    {31, "device not functioning"},
    {32, "sharing violation"},
    {33, "lock violation"},
    {55, "device no longer there"},
    {59, "network error"},
    {64, "network name deleted"},
    {110, "cannot open the file"},
    {483, "hardware error"},
    {999, "in-page error"},
    {1117, "I/O device error"},
    {1167, "device not connected"},
    {1392, "file corrupt"},
    {1393, "disk corrupt"},
    {1450, "not enough resources"},
    {1455, "paging file too small"},
    {1920, "file cannot be accessed"},
};

const char *ReadErrorReason(uint32_t code) {
    for (const auto &known : readErrors)
        if (known.code == code)
            return known.reason;
    return nullptr;
}

// Keeps the last error when it says the file could not be read.
static void NoteReadError(uint32_t *readError) {
    uint32_t code = GetLastError();
    if (readError != nullptr && ReadErrorReason(code) != nullptr)
        *readError = code;
}

// The version resource of the file, or nullptr; the caller frees it.
static char *ReadVersionInfo(const char *path, uint32_t *readError) {
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(path, &handle);
    if (size == 0) {
        NoteReadError(readError);
        return nullptr;
    }
    char *versionInfo = static_cast<char *>(malloc(size));
    if (versionInfo == nullptr) {
        Verbose("Malloc failed: could not allocate memory for versionInfo\n");
        if (readError != nullptr)
            *readError = 8;
        return nullptr;
    }
    if (!GetFileVersionInfoA(path, handle, size, versionInfo)) {
        NoteReadError(readError);
        Verbose("GetFileVersionInfo() failed: FileName %s\n", path);
        free(versionInfo);
        return nullptr;
    }
    return versionInfo;
}

bool GetFileVersion(const char *path, int32_t *major, int32_t *minor, uint32_t *readError) {
    if (readError != nullptr)
        *readError = 0;
    char *versionInfo = ReadVersionInfo(path, readError);
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
