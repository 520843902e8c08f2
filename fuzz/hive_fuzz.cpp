// Any file at all as the SYSTEM hive of an offline tree, with up to two logs
// after it, each behind "#LOGSEP#": walked through our registry layer the
// way a run reads it, changed the way an install changes it and written
// back.  The layer must refuse a damaged hive or serve it, since it checks
// what it edits; it writes a log only with the hive, and a hive it writes
// is clean and sound.
#include "platform/platform.h"
#include "platform/posix/hive/hive.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::string hivePath;

std::string Read(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Bounded, so that a hive of many keys or loops costs little.
void Walk(HKEY key, int depth, int *budget) {
    DWORD count = 0, longest = 0;
    if (RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &count, &longest, nullptr, nullptr,
                         nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        return;
    std::vector<char> name(longest + 1);
    for (DWORD i = 0; i < count && --*budget > 0; i++) {
        HKEY child;
        if (RegEnumKeyA(key, i, name.data(), static_cast<DWORD>(name.size())) == ERROR_SUCCESS &&
            depth < 12 && RegOpenKeyExA(key, name.data(), 0, KEY_READ, &child) == ERROR_SUCCESS) {
            Walk(child, depth + 1, budget);
            RegCloseKey(child);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // The layer reports a refused hive on stdout, once per input.
    std::string top =
        std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + "/hive_fuzz.XXXXXX";
    if (freopen("/dev/null", "w", stdout) == nullptr || mkdtemp(&top[0]) == nullptr)
        abort();
    for (const char *part : {"/WINNT", "/WINNT/system32", "/WINNT/system32/config"})
        if (mkdir((top + part).c_str(), 0755) != 0)
            abort();
    setenv("SystemRoot", (top + "/WINNT").c_str(), 1);
    hivePath = top + "/WINNT/system32/config/SYSTEM";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // The hive, then up to two logs each behind "#LOGSEP#": whatever they
    // hold, a log is written only with the hive, which is then clean and sound.
    std::string input(reinterpret_cast<const char *>(data), size), marker = "#LOGSEP#";
    std::vector<std::string> parts;
    for (size_t at = 0, next = 0; next != std::string::npos; at = next + marker.size()) {
        next = parts.size() < 2 ? input.find(marker, at) : std::string::npos;
        parts.push_back(input.substr(at, next - at));
    }
    for (size_t i = 0; i <= 2; i++) {
        std::string path = hivePath + (i ? ".LOG" + std::to_string(i) : "");
        if (i >= parts.size())
            remove(path.c_str());
        else if (!(std::ofstream(path, std::ios::binary) << parts[i]))
            abort();
    }
    HKEY system, services, key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM", 0, KEY_READ, &system) == ERROR_SUCCESS) {
        int budget = 2000;
        Walk(system, 0, &budget);
        if (RegOpenKeyExA(system, "CurrentControlSet\\Services", 0, KEY_READ, &services) == 0) {
            RegDeleteKeyA(services, "korvex1");
            char keyClass[] = "REG_SZ";
            DWORD start = 0;
            if (RegCreateKeyExA(services, "korvex1", 0, keyClass, 0, KEY_ALL_ACCESS, nullptr, &key,
                                nullptr) == ERROR_SUCCESS) {
                RegSetValueExA(key, "Start", 0, REG_DWORD, reinterpret_cast<BYTE *>(&start), 4);
                RegCloseKey(key);
            }
            RegCloseKey(services);
        }
        RegCloseKey(system);
    }
    HiveFinish(0);
    std::string hive = Read(hivePath);
    for (size_t i = 1; i < parts.size(); i++)
        if (hive == parts[0] && Read(hivePath + ".LOG" + std::to_string(i)) != parts[i])
            abort();
    const auto *image = reinterpret_cast<const uint8_t *>(hive.data());
    if (hive != parts[0] &&
        (HiveIsDirty(image, hive.size()) ||
         !CheckHiveStructure(image, hive.size(), HiveCheckOptions()).problems.empty()))
        abort();
    return 0;
}
