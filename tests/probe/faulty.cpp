// Test-only: the tool with one registry call failing on demand, for the
// failures an offline hive cannot be made to give.  The core is compiled
// again with these calls renamed (cmake/tests.cmake); DRVINST_FAIL names
// the call, alone or followed by ":" and the key or value it fails for.
#include "platform/platform.h"

#include <cstdlib>
#include <string>

static bool Fails(const char *call, const char *name) {
    const char *want = getenv("DRVINST_FAIL");
    return want != nullptr &&
           (want == std::string(call) || want == call + (":" + std::string(name)));
}

LONG FaultyRegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR keyClass, DWORD options,
                           REGSAM access, LPSECURITY_ATTRIBUTES security, PHKEY result,
                           LPDWORD disposition) {
    if (Fails("RegCreateKeyExA", subKey))
        return ERROR_ACCESS_DENIED;
    return RegCreateKeyExA(key, subKey, reserved, keyClass, options, access, security, result,
                           disposition);
}

LONG FaultyRegSetValueExA(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE *data,
                          DWORD size) {
    if (Fails("RegSetValueExA", name))
        return ERROR_ACCESS_DENIED;
    return RegSetValueExA(key, name, reserved, type, data, size);
}

LONG FaultyRegEnumKeyA(HKEY key, DWORD index, LPSTR name, DWORD size) {
    return Fails("RegEnumKeyA", "") ? ERROR_ACCESS_DENIED : RegEnumKeyA(key, index, name, size);
}
