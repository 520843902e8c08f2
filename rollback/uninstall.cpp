#include "driverfile/driverfile.h"
#include "front/messages.h"
#include "front/state.h"
#include "platform/platform.h"
#include "registry/registry.h"
#include "rollback/rollback.h"

#include <cstdio>

static std::string DriverPath() {
    std::string fileName = Format("%s.sys", state.driverName.c_str());
    std::string directory = Format("%s\\system32\\drivers", state.systemRoot.c_str());
    std::string path = Format("%s\\%s", directory.c_str(), fileName.c_str());
    if (!IsCommandSafe(path))
        Fail(1, "Path %s cannot be passed safely to the command interpreter\n", path.c_str());
    return path;
}

static int RunShown(const std::string &command) {
    Verbose("%s\n", command.c_str());
    return RunCommand(command.c_str());
}

// A file that stays must not go unnoticed by a caller that checks the
// status; a failure already being undone keeps its own status.
static void RemoveDriverFile(const std::string &path) {
    int status = RunShown(Format("del /F %s", CommandPath(path).c_str()));
    if (status != 0) {
        Report("Failed to delete %s\n", path.c_str());
        if (state.lastCommandStatus == 0)
            state.lastCommandStatus = status;
    }
}

// The service key names the driver's own file, so a copy moved aside by
// this run goes back to that name.  Whether it could is not the run's
// status: that already tells of the failure being undone.
static void RestoreBackup(const std::string &path) {
    RunShown(
        Format("move %s %s", CommandPath(state.backupPath).c_str(), CommandPath(path).c_str()));
}

static void RemoveKeys() {
    state.installState &= ~INSTALLED_REGISTRY;
    RemoveKeyTree(state.servicesKey, state.driverName.c_str());
    RemoveKeyTree(state.eventLogKey, state.driverName.c_str());
}

// The service key goes before the event-log source.  An uninstall removes
// the keys first and has them written before the file goes: a run cut short
// in between then leaves a file that nothing loads, never a boot driver
// registered without its file.  A rollback removes what this run made, the
// file first.  Backups made by earlier installs are left alone.
void UninstallDriver() {
    Verbose("Uninstall %s driver\n", state.driverName.c_str());
    std::string path = DriverPath(); // refused, if at all, before any change
    if (state.uninstallFlag) {
        // Looked up before the keys go, so that a file the system will not
        // let the delete reach (offline: one outside the tree, or a name
        // two entries answer to) is refused while nothing has changed.
        GetFileAttributesA(path.c_str());
        RemoveKeys();
        if (RegFlushKey(state.servicesKey) != ERROR_SUCCESS)
            Fail(1, "RegFlushKey failed: %s was not deleted\n", path.c_str());
    }
    if (state.installState & INSTALLED_FILE) {
        state.installState &= ~INSTALLED_FILE;
        RemoveDriverFile(path);
    }
    if (state.installState & MOVED_TO_BACKUP) {
        state.installState &= ~MOVED_TO_BACKUP;
        RestoreBackup(path);
    }
    if (state.installState & INSTALLED_REGISTRY)
        RemoveKeys();
    EndProcess(state.lastCommandStatus);
}
