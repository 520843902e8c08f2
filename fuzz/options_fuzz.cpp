// Any command line and working directory, scanned the way a run starts:
// the options, then the source directory from argument 0.  The input is
// split at zero bytes into the working directory, argument 0 and the
// arguments.  A usage error ends the "process" through the fake
// platform's EndProcess, which throws; anything else must leave a state
// whose texts are whole: the driver name one of the arguments, the
// program name the tail of argument 0, and the source directory the
// directory part of argument 0, below the working directory when relative.
#include "front/front.h"
#include "front/state.h"
#include "tests/fake/fakeplatform.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::vector<std::string> Split(const uint8_t *data, size_t size) {
    std::vector<std::string> parts(1);
    for (size_t i = 0; i < size; i++) {
        if (data[i] == 0)
            parts.emplace_back();
        else
            parts.back() += static_cast<char>(data[i]);
    }
    return parts;
}

bool EndsWith(const std::string &text, const std::string &tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

void Require(bool condition) {
    if (!condition)
        abort();
}

void CheckScan(const std::vector<std::string> &args) {
    bool found = state.driverName.empty();
    for (size_t i = 1; i < args.size() && !found; i++)
        found = args[i] == state.driverName;
    Require(found);
    Require(state.forceFlag <= 1 && state.uninstallFlag <= 1 && state.verboseFlag <= 1);
}

void CheckSource(const std::string &argv0, const std::string &workingDirectory) {
    size_t cut = argv0.find_last_of(":\\");
    std::string directory = cut == std::string::npos ? "" : argv0.substr(0, cut + 1);
    Require(state.programName.find_first_of(":\\") == std::string::npos);
    Require(directory + state.programName == argv0);
    Require(EndsWith(state.sourceDirectory, directory));
    bool absolute = (!directory.empty() && directory[0] == '\\') ||
                    (directory.size() > 1 && directory[1] == ':');
    if (!absolute)
        Require(state.sourceDirectory == workingDirectory + "\\" + directory);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // Usage text would flood the fuzzer's output on every other input.
    if (freopen("/dev/null", "w", stdout) == nullptr)
        abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<std::string> parts = Split(data, size);
    if (parts.size() < 2)
        return 0;
    fake::Reset();
    state = InstallerState{};
    fake::state.workingDirectory = parts[0];
    std::vector<std::string> args(parts.begin() + 1, parts.end());
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    try {
        ScanOptions(static_cast<int>(args.size()), argv.data());
        CheckScan(args);
        SetSourceDirectory(argv[0]);
        CheckSource(args[0], parts[0]);
    } catch (const fake::ProcessEnded &ended) {
        Require(ended.status == 1);
    }
    return 0;
}
