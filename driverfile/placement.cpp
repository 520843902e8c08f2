#include "driverfile/driverfile.h"
#include "front/messages.h"
#include "front/state.h"
#include "platform/platform.h"
#include "registry/registry.h"
#include "rollback/rollback.h"

#include <string>

struct Placement {
    std::string sourcePath;
    std::string destinationDirectory;
    std::string destinationPath;
};

// Characters on which the interpreter splits a command or starts another.
static const char commandSpecials[] = " \t&|<>^(),;=";

bool IsCommandSafe(const std::string &path) {
    return path.find_first_of("\"%") == std::string::npos;
}

std::string CommandPath(const std::string &path) {
    if (path.find_first_of(commandSpecials) == std::string::npos)
        return path;
    return "\"" + path + "\"";
}

// Runs a command, printing it first in verbose mode, and returns its status.
static int RunShown(const std::string &command) {
    Verbose("%s\n", command.c_str());
    return RunCommand(command.c_str());
}

static void RefuseUnsafe(const std::string &path) {
    if (!IsCommandSafe(path))
        Fail(1, "Path %s cannot be passed safely to the command interpreter\n", path.c_str());
}

// A newer or equal installed copy is kept unless the user forces the
// install.  The same version without a complete service key is an install
// that stopped half way: the copy is the one to register, and is left as
// it is, neither backed up nor replaced.  Returns whether to replace it.
static bool ReplacesInstalled(const Placement &p, int32_t major, int32_t minor, int32_t sourceMajor,
                              int32_t sourceMinor) {
    bool sameOrNewer = major > sourceMajor || (major == sourceMajor && minor >= sourceMinor);
    if (!sameOrNewer || state.forceFlag)
        return true;
    if (major == sourceMajor && minor == sourceMinor && !ServiceKeyComplete())
        return false;
    Fail(0, "%s already existed and may have newer version.\n", p.destinationPath.c_str());
}

// Keeps the installed copy under a name carrying its version.  Should the
// move fail, the copy must not run: it would overwrite the only copy of the
// installed driver.  Once moved, a rollback moves it back.
static void BackUpInstalled(const Placement &p, int32_t major, int32_t minor) {
    std::string backupPath = Format("%s.%d.%d", p.destinationPath.c_str(), major, minor);
    RunShown(Format("del /F %s", CommandPath(backupPath).c_str()));
    state.lastCommandStatus = RunShown(Format("move %s %s", CommandPath(p.destinationPath).c_str(),
                                              CommandPath(backupPath).c_str()));
    if (state.lastCommandStatus != 0)
        Fail(state.lastCommandStatus, "Failed to move %s to %s\n", p.destinationPath.c_str(),
             backupPath.c_str());
    state.backupPath = backupPath;
    state.installState |= MOVED_TO_BACKUP;
}

// The copy names the directory, and an interpreter copying to a directory
// that does not exist makes a file of that name and reports success; the
// service key would then name a driver file that is not there.  So a
// missing directory counts as a failed copy, and the copy is not run.
static void CopyIntoDirectory(const Placement &p) {
    DWORD attributes = GetFileAttributesA(p.destinationDirectory.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        state.lastCommandStatus = 1;
        return;
    }
    state.lastCommandStatus = RunShown(Format("copy %s %s", CommandPath(p.sourcePath).c_str(),
                                              CommandPath(p.destinationDirectory).c_str()));
}

static Placement FormPaths() {
    Placement p;
    std::string fileName = Format("%s.sys", state.driverName.c_str());
    p.sourcePath = Format("%s%s", state.sourceDirectory.c_str(), fileName.c_str());
    p.destinationDirectory = Format("%s\\system32\\drivers", state.systemRoot.c_str());
    p.destinationPath = Format("%s\\%s", p.destinationDirectory.c_str(), fileName.c_str());
    RefuseUnsafe(p.sourcePath);
    RefuseUnsafe(p.destinationPath);
    return p;
}

void InstallDriverFile() {
    Placement p = FormPaths();
    Verbose("Source File %s\n", p.sourcePath.c_str());
    int32_t sourceMajor, sourceMinor;
    if (!GetFileVersion(p.sourcePath.c_str(), &sourceMajor, &sourceMinor))
        Fail(1, "GetFileVersion failed. File %s\n", p.sourcePath.c_str());
    Verbose("Destination directory %s\n", p.destinationDirectory.c_str());
    Verbose("Destination File %s\n", p.destinationPath.c_str());
    // An installed copy that cannot be read may hold a version all the
    // same; replacing it would lose the only copy without a backup.
    int32_t major, minor;
    uint32_t readError;
    if (GetFileVersion(p.destinationPath.c_str(), &major, &minor, &readError)) {
        if (!ReplacesInstalled(p, major, minor, sourceMajor, sourceMinor))
            return;
        BackUpInstalled(p, major, minor);
    } else if (readError != 0) {
        Fail(1, "Failed to read %s: %s (error %u)\n", p.destinationPath.c_str(),
             ReadErrorReason(readError), readError);
    }
    CopyIntoDirectory(p);
    if (state.lastCommandStatus != 0) {
        Report("Failed to copy %s to %s\n", p.sourcePath.c_str(), p.destinationPath.c_str());
        UninstallDriver();
    }
    state.installState |= INSTALLED_FILE;
}
