// Runs the installer's entry against the fake platform and records how the
// process would have ended and what it printed.
#ifndef DRVINST_TEST_HARNESS_H
#define DRVINST_TEST_HARNESS_H

#include "front/front.h"
#include "front/state.h"
#include "tests/fake/fakeplatform.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

struct Outcome {
    int status;
    std::string output;
};

inline Outcome Capture(const std::function<void()> &body) {
    testing::internal::CaptureStdout();
    int status = -1000;
    try {
        body();
    } catch (const fake::ProcessEnded &ended) {
        status = ended.status;
    }
    fflush(stdout);
    return Outcome{status, testing::internal::GetCapturedStdout()};
}

inline Outcome RunTool(std::vector<std::string> args) {
    state = InstallerState();
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    return Capture([&] { RunInstaller(static_cast<int>(args.size()), argv.data()); });
}

const char servicesPath[] = "SYSTEM\\CurrentControlSet\\Services";
const char eventLogPath[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\System";

// A machine with SystemRoot C:\WINNT, both registry roots, and the tool
// started as A:\drvinst with its korvex drivers beside it.
inline void StandardMachine() {
    fake::Reset();
    fake::state.environment["SystemRoot"] = "C:\\WINNT";
    fake::AddKey(eventLogPath);
}

inline void SetVersion(const std::string &path, const std::string &text) {
    fake::state.versions[path] = {text, static_cast<UINT>(text.size() + 1)};
}

#endif
