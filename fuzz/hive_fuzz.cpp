// Any file at all as the SYSTEM hive of an offline tree, read through our
// registry layer the way a run reads it (every key below SYSTEM, walked
// with RegQueryInfoKeyA and RegEnumKeyA), then changed the way an install
// changes it and written back.  The layer must refuse a damaged hive or
// serve it; since it checks what it hands to hivex, hivex must not crash
// on anything the checks let through either.
//
// An input may carry transaction logs after the hive, each behind the
// marker "#LOGSEP#": the first becomes SYSTEM.LOG1, the second
// SYSTEM.LOG2.  Whatever they hold, the logs are never written, and a hive
// that is written is clean and sound on its own.
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
const std::string kLogMarker = "#LOGSEP#";

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

void WriteFile(const std::string &path, const std::string &bytes) {
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr || fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || fclose(f) != 0)
        abort();
}

std::string ReadFile(const std::string &path) {
    std::string bytes;
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr)
        abort();
    char buffer[65536];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, f)) > 0;)
        bytes.append(buffer, n);
    fclose(f);
    return bytes;
}

// The hive and up to two logs; a log the input does not carry is absent.
std::vector<std::string> WriteTree(const uint8_t *data, size_t size) {
    std::string input(reinterpret_cast<const char *>(data), size);
    std::vector<std::string> parts;
    for (size_t at = 0;;) {
        size_t next = parts.size() < 2 ? input.find(kLogMarker, at) : std::string::npos;
        parts.push_back(input.substr(at, next - at));
        if (next == std::string::npos)
            break;
        at = next + kLogMarker.size();
    }
    WriteFile(g_hive, parts[0]);
    for (size_t i = 1; i <= 2; i++) {
        std::string log = g_hive + ".LOG" + std::to_string(i);
        if (i < parts.size())
            WriteFile(log, parts[i]);
        else
            remove(log.c_str());
    }
    return parts;
}

void CheckWrites(const std::vector<std::string> &parts) {
    for (size_t i = 1; i < parts.size(); i++) {
        if (ReadFile(g_hive + ".LOG" + std::to_string(i)) != parts[i])
            abort();
    }
    std::string hive = ReadFile(g_hive);
    if (hive == parts[0])
        return;
    const auto *image = reinterpret_cast<const uint8_t *>(hive.data());
    if (HiveIsDirty(image, hive.size()) ||
        !CheckHiveStructure(image, hive.size(), HiveCheckOptions()).problems.empty())
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
    std::vector<std::string> parts = WriteTree(data, size);
    HKEY system;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM", 0, KEY_READ, &system) == ERROR_SUCCESS) {
        int budget = kMostKeys;
        Walk(system, 0, &budget);
        RegCloseKey(system);
        Install();
    }
    HiveFinish(0);
    CheckWrites(parts);
    return 0;
}
