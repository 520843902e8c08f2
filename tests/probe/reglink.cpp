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

int main(int argc, char **argv) {
    HKEY key;
    LONG rc = 0;
    if (argc == 4 && strcmp(argv[1], "create") == 0) {
        rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, argv[2], 0, nullptr,
                             REG_OPTION_VOLATILE | REG_OPTION_CREATE_LINK, KEY_ALL_ACCESS, nullptr,
                             &key, nullptr);
        if (rc != ERROR_SUCCESS)
            return printf("create %s: %ld\n", argv[2], rc), 1;
        std::wstring target(argv[3], argv[3] + strlen(argv[3]));
        rc = RegSetValueExW(key, L"SymbolicLinkValue", 0, REG_LINK,
                            reinterpret_cast<const BYTE *>(target.c_str()),
                            static_cast<DWORD>(target.size() * sizeof(wchar_t)));
        RegCloseKey(key);
        return rc == ERROR_SUCCESS ? 0 : (printf("link value: %ld\n", rc), 1);
    }
    if (argc == 3 && strcmp(argv[1], "delete") == 0) {
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, argv[2], REG_OPTION_OPEN_LINK, DELETE, &key) != 0)
            return 0; // nothing to remove
        auto ntDeleteKey = reinterpret_cast<LONG(WINAPI *)(HANDLE)>(
            reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtDeleteKey")));
        rc = ntDeleteKey(key);
        RegCloseKey(key);
        return rc == 0 ? 0 : (printf("delete %s: %lx\n", argv[2], rc), 1);
    }
    fputs("usage: reglink create|delete SUBKEY [NT-TARGET]\n", stderr);
    return 2;
}
