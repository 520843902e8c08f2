// An in-memory stand-in for the operating system, for the core's unit
// tests: a registry tree, files with version texts, an environment, a
// command log, and switches that make chosen calls fail.
#ifndef DRVINST_FAKE_PLATFORM_H
#define DRVINST_FAKE_PLATFORM_H

#include "platform/platform.h"

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace fake {

// Thrown by EndProcess so that a test can see how the process would end.
struct ProcessEnded {
    int status;
};

struct Value {
    DWORD type;
    std::string data;
};

struct Fake {
    std::map<std::string, std::string> environment;
    std::string workingDirectory = "C:\\work";
    // path -> FileVersion text as stored, with count the length reported.
    std::map<std::string, std::pair<std::string, UINT>> versions;
    std::vector<std::string> commands;
    std::function<int(const std::string &)> onCommand;
    // Full key paths (as "SYSTEM\...\name", any case) whose creation fails.
    std::set<std::string> failCreate;
    std::set<std::string> failOpen;
    std::set<std::string> failSetValue; // value names
    std::vector<std::string> deletions; // full paths, in the order requested
    int enumFailIndex = -1;
    std::set<std::string> missingDirectories; // every other path is a directory
};

extern Fake state;

void Reset();
void AddKey(const std::string &path);
bool HasKey(const std::string &path);
void SetValue(const std::string &path, const std::string &name, DWORD type,
              const std::string &data);
std::map<std::string, Value> Values(const std::string &path);
std::vector<std::string> SubKeys(const std::string &path);
int OpenHandles();

} // namespace fake

#endif
