// Any command line and working directory, scanned the way a run starts.
// The input is split at zero bytes into the working directory, argument 0
// and the arguments.  A usage error must end the run with status 1; any
// other line must leave whole texts: the driver name one of the arguments,
// the program name the tail of argument 0, and the source directory the
// directory part of argument 0, below the working directory when relative.
#include "front/front.h"
#include "front/state.h"
#include "platform/platform.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

static std::string workingDirectory;
struct Ended {};

#define Require(condition) ((condition) ? (void)0 : abort())

DWORD GetCurrentDirectoryA(DWORD size, LPSTR buffer) {
    if (workingDirectory.size() >= size)
        return static_cast<DWORD>(workingDirectory.size() + 1);
    memcpy(buffer, workingDirectory.c_str(), workingDirectory.size() + 1);
    return static_cast<DWORD>(workingDirectory.size());
}

// -V also makes the hive layer talk, which this target does not link.
void SetPlatformVerbose(bool) {}

void EndProcess(int status) {
    Require(status == 1);
    throw Ended();
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // Usage text would flood the fuzzer's output on every other input.
    return freopen("/dev/null", "w", stdout) == nullptr;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<std::string> args(1);
    for (size_t i = 0; i < size; i++)
        data[i] ? args.back() += static_cast<char>(data[i]) : args.emplace_back();
    if (args.size() < 2)
        return 0;
    workingDirectory = args[0];
    args.erase(args.begin());
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    state = InstallerState{};
    try {
        ScanOptions(static_cast<int>(args.size()), argv.data());
        bool found = state.driverName.empty() ||
                     std::find(args.begin() + 1, args.end(), state.driverName) != args.end();
        Require(found && state.forceFlag <= 1 && state.uninstallFlag <= 1 &&
                state.verboseFlag <= 1);
        SetSourceDirectory(argv[0]);
    } catch (const Ended &) {
        return 0;
    }
    size_t cut = args[0].find_last_of(":\\");
    std::string directory = cut == std::string::npos ? "" : args[0].substr(0, cut + 1);
    Require(state.programName.find_first_of(":\\") == std::string::npos);
    Require(directory + state.programName == args[0]);
    bool absolute = (!directory.empty() && directory[0] == '\\') ||
                    (directory.size() > 1 && directory[1] == ':');
    Require(state.sourceDirectory == (absolute ? directory : workingDirectory + "\\" + directory));
    return 0;
}
