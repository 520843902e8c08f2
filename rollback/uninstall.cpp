#include "driverfile/driverfile.h"
#include "front/messages.h"
#include "front/state.h"
#include "platform/platform.h"
#include "registry/registry.h"
#include "rollback/rollback.h"

#include <cstdio>

static void RemoveDriverFile() {
    std::string fileName = Format("%s.sys", state.driverName.c_str());
    std::string directory = Format("%s\\system32\\drivers", state.systemRoot.c_str());
    std::string path = Format("%s\\%s", directory.c_str(), fileName.c_str());
    if (!IsCommandSafe(path))
        Fail(1, "Path %s cannot be passed safely to the command interpreter\n", path.c_str());
    std::string command = Format("del /F %s", CommandPath(path).c_str());
    Verbose("%s\n", command.c_str());
    RunCommand(command.c_str());
}

// The file goes first, then the service key, then the event-log source.
// Backups made by earlier installs are left alone.
void UninstallDriver() {
    Verbose("Uninstall %s driver\n", state.driverName.c_str());
    if (state.installState & INSTALLED_FILE) {
        state.installState &= ~INSTALLED_FILE;
        RemoveDriverFile();
    }
    if (state.installState & INSTALLED_REGISTRY) {
        state.installState &= ~INSTALLED_REGISTRY;
        RemoveKeyTree(state.servicesKey, state.driverName.c_str());
        RemoveKeyTree(state.eventLogKey, state.driverName.c_str());
    }
    EndProcess(state.lastCommandStatus);
}
