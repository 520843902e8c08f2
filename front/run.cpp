#include "driverfile/driverfile.h"
#include "front/front.h"
#include "front/messages.h"
#include "front/state.h"
#include "platform/platform.h"
#include "registry/registry.h"
#include "rollback/rollback.h"

#include <cstdio>
#include <vector>

// SystemRoot read whole, however long; empty when unset or empty.  A value
// that does not fit the first buffer is read again into one that does,
// because a Windows directory cut short would name another directory.
static std::string ReadSystemRoot() {
    std::vector<char> buffer(40);
    DWORD length =
        GetEnvironmentVariableA("SystemRoot", buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length >= buffer.size()) {
        buffer.resize(length);
        length =
            GetEnvironmentVariableA("SystemRoot", buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length >= buffer.size())
            length = 0;
    }
    return std::string(buffer.data(), length);
}

static void CheckDriverName() {
    if (state.driverName.empty())
        Usage();
    if (state.driverName != "korvex1" && state.driverName != "korvex2") {
        printf("Driver %s not supported\n", state.driverName.c_str());
        EndProcess(1);
    }
}

// Both roots are opened for reading only; the driver's keys are created
// and removed below them.
static void OpenRegistryRoots() {
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services", 0, KEY_READ,
                      &state.servicesKey) != ERROR_SUCCESS)
        Fail(1, "RegOpenKeyEx failed to open Service key\n");
    if (RegOpenKeyExA(state.servicesKey, "EventLog\\System", 0, KEY_READ, &state.eventLogKey) !=
        ERROR_SUCCESS)
        Fail(1, "RegOpenKeyEx failed to open EventLog key\n");
}

void RunInstaller(int argc, char **argv) {
    ScanOptions(argc, argv);
    CheckDriverName();
    SetSourceDirectory(argv[0]);
    state.systemRoot = ReadSystemRoot();
    if (state.systemRoot.empty())
        Fail(1, "Could not find SystemRoot environment variable\n");
    Verbose("SystemRoot %s\n", state.systemRoot.c_str());
    OpenRegistryRoots();
    if (state.uninstallFlag) {
        state.installState = INSTALLED_FILE | INSTALLED_REGISTRY;
        UninstallDriver();
    }
    InstallDriverFile();
    InstallRegistry();
    EndProcess(0);
}
