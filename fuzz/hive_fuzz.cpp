// Any file at all as the SYSTEM hive of an offline tree, read through our
// registry layer the way a run reads it (every key below SYSTEM, walked
// with RegQueryInfoKeyA and RegEnumKeyA), then changed the way an install
// changes it and written back.  The layer must refuse a damaged hive or
// serve it; since it checks what it hands to hivex, hivex must not crash
// on anything the checks let through either.
#include "platform/platform.h"
#include "platform/posix/hive/hive.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// Bounds on the walk, so that a hive of many keys or loops costs little.
constexpr int kDeepest = 12;
constexpr int kMostKeys = 2000;

std::string g_hive;

// A tree of our own in memory where the system offers it: the hive is
// rewritten, and written back, for every input.
void MakeTree() {
    std::string dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string top = dir + "/hive_fuzz.XXXXXX";
    if (mkdtemp(&top[0]) == nullptr)
        abort();
    std::string path = top + "/WINNT";
    for (const char *part : {"", "/system32", "/system32/config"}) {
        if (mkdir((path + part).c_str(), 0755) != 0)
            abort();
    }
    setenv("SystemRoot", path.c_str(), 1);
    g_hive = path + "/system32/config/SYSTEM";
}

void WriteHive(const uint8_t *data, size_t size) {
    FILE *f = fopen(g_hive.c_str(), "wb");
    if (f == nullptr || fwrite(data, 1, size, f) != size || fclose(f) != 0)
        abort();
}

void Walk(HKEY key, int depth, int *budget) {
    DWORD count = 0, longest = 0;
    if (RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &count, &longest, nullptr, nullptr,
                         nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        return;
    std::vector<char> name(longest + 1);
    for (DWORD i = 0; i<count && * budget> 0; i++, --*budget) {
        if (RegEnumKeyA(key, i, name.data(), static_cast<DWORD>(name.size())) != ERROR_SUCCESS)
            continue;
        HKEY child;
        if (depth < kDeepest &&
            RegOpenKeyExA(key, name.data(), 0, KEY_READ, &child) == ERROR_SUCCESS) {
            Walk(child, depth + 1, budget);
            RegCloseKey(child);
        }
    }
}

// What an install does to the hive: the service key replaced, then given
// a value.
void Install() {
    HKEY services, key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services", 0, KEY_READ,
                      &services) != ERROR_SUCCESS)
        return;
    RegDeleteKeyA(services, "korvex1");
    char keyClass[] = "REG_SZ";
    if (RegCreateKeyExA(services, "korvex1", 0, keyClass, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr) == ERROR_SUCCESS) {
        DWORD start = 0;
        RegSetValueExA(key, "Start", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&start),
                       sizeof start);
        RegCloseKey(key);
    }
    RegCloseKey(services);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // The layer reports a refused hive on stdout, once per input.
    if (freopen("/dev/null", "w", stdout) == nullptr)
        abort();
    MakeTree();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    WriteHive(data, size);
    HKEY system;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM", 0, KEY_READ, &system) == ERROR_SUCCESS) {
        int budget = kMostKeys;
        Walk(system, 0, &budget);
        RegCloseKey(system);
        Install();
    }
    HiveFinish(0);
    return 0;
}
