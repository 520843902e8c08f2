// The process environment with the Windows contracts: the number of
// characters stored on success; the size needed, terminator included, when
// the buffer is too small; 0 when there is nothing to give.
#include "platform/platform.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <vector>

static DWORD StoreText(const char *text, LPSTR buffer, DWORD size) {
    size_t length = strlen(text);
    if (length == 0)
        return 0;
    if (length >= size)
        return static_cast<DWORD>(length + 1);
    memcpy(buffer, text, length + 1);
    return static_cast<DWORD>(length);
}

extern char **environ;

// Windows names its variables without regard to case; an exact match wins.
static const char *FindVariable(const char *name) {
    if (const char *value = getenv(name))
        return value;
    size_t length = strlen(name);
    for (char **entry = environ; entry != nullptr && *entry != nullptr; entry++)
        if (strncasecmp(*entry, name, length) == 0 && (*entry)[length] == '=')
            return *entry + length + 1;
    return nullptr;
}

DWORD GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size) {
    const char *value = FindVariable(name);
    if (value == nullptr)
        return 0;
    return StoreText(value, buffer, size);
}

DWORD GetCurrentDirectoryA(DWORD size, LPSTR buffer) {
    std::vector<char> path(4096);
    while (getcwd(path.data(), path.size()) == nullptr) {
        if (errno != ERANGE)
            return 0;
        path.resize(path.size() * 2);
    }
    return StoreText(path.data(), buffer, size);
}
