// Test-only (Windows): makes or removes a registry link below
// HKEY_LOCAL_MACHINE, so that scenarios can make key creation fail for
// real.  A link into the volatile HARDWARE tree refuses a non-volatile key.
// Usage: reglink create|delete SUBKEY [NT-TARGET]
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#ifndef REG_OPTION_OPEN_LINK
#define REG_OPTION_OPEN_LINK 8
#endif

typedef LONG(WINAPI *NtDeleteKeyFn)(HANDLE);

static int Create(const char *subKey, const char *target) {
    HKEY key;
    DWORD disposition;
    LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, subKey, 0, nullptr,
                              REG_OPTION_VOLATILE | REG_OPTION_CREATE_LINK, KEY_ALL_ACCESS, nullptr,
                              &key, &disposition);
    if (rc != ERROR_SUCCESS)
        return printf("create %s: %ld\n", subKey, rc), 1;
    std::wstring wide(target, target + strlen(target));
    rc = RegSetValueExW(key, L"SymbolicLinkValue", 0, REG_LINK,
                        reinterpret_cast<const BYTE *>(wide.c_str()),
                        static_cast<DWORD>(wide.size() * sizeof(wchar_t)));
    RegCloseKey(key);
    return rc == ERROR_SUCCESS ? 0 : (printf("link value: %ld\n", rc), 1);
}

static int Delete(const char *subKey) {
    HKEY key;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, subKey, REG_OPTION_OPEN_LINK, DELETE, &key);
    if (rc != ERROR_SUCCESS)
        return 0; // nothing to remove
    NtDeleteKeyFn ntDeleteKey = reinterpret_cast<NtDeleteKeyFn>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtDeleteKey")));
    LONG status = ntDeleteKey(key);
    RegCloseKey(key);
    return status == 0 ? 0 : (printf("delete %s: %lx\n", subKey, status), 1);
}

int main(int argc, char **argv) {
    if (argc == 4 && strcmp(argv[1], "create") == 0)
        return Create(argv[2], argv[3]);
    if (argc == 3 && strcmp(argv[1], "delete") == 0)
        return Delete(argv[2]);
    fputs("usage: reglink create|delete SUBKEY [NT-TARGET]\n", stderr);
    return 2;
}
