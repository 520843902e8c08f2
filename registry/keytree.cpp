#include "front/messages.h"
#include "registry/registry.h"

#include <cstdlib>

// Collects every subkey name before anything is deleted, because deleting
// while enumerating would shift the indices under the enumeration.
static char **CollectSubKeyNames(HKEY key, DWORD count, DWORD slot) {
    char *block = static_cast<char *>(calloc(count, slot));
    char **names = static_cast<char **>(calloc(count, sizeof(char *)));
    if (block == nullptr || names == nullptr) {
        free(block);
        free(names);
        return nullptr;
    }
    for (DWORD i = 0; i < count; i++) {
        names[i] = block + static_cast<size_t>(i) * slot;
        if (RegEnumKeyA(key, i, names[i], slot) != ERROR_SUCCESS) {
            Verbose("Failed to enumerate subKey %d\n", static_cast<int>(i));
            free(block);
            free(names);
            return nullptr;
        }
    }
    return names;
}

static int DeleteCollected(HKEY key, char **names, DWORD count) {
    for (DWORD i = 0; i < count; i++) {
        HKEY subKey;
        if (RegOpenKeyExA(key, names[i], 0, KEY_READ, &subKey) != ERROR_SUCCESS)
            return -1;
        int emptied = DeleteSubKeys(subKey);
        if (emptied == 0)
            RegDeleteKeyA(key, names[i]);
        RegCloseKey(subKey);
        if (emptied != 0)
            return -1;
    }
    return 0;
}

int DeleteSubKeys(HKEY key) {
    DWORD count = 0, longest = 0;
    if (RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &count, &longest, nullptr, nullptr,
                         nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        return -1;
    if (count == 0)
        return 0;
    DWORD slot = longest + 1;
    char **names = CollectSubKeyNames(key, count, slot);
    if (names == nullptr)
        return -1;
    int result = DeleteCollected(key, names, count);
    free(names[0]);
    free(names);
    return result;
}

void RemoveKeyTree(HKEY parent, const char *name) {
    HKEY key;
    if (RegOpenKeyExA(parent, name, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return;
    int emptied = DeleteSubKeys(key);
    if (emptied == 0)
        RegDeleteKeyA(parent, name);
    RegCloseKey(key);
}
