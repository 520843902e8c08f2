// The one record of a run: its options, paths, registry roots and progress.
#ifndef DRVINST_STATE_H
#define DRVINST_STATE_H

#include "platform/platform.h"

#include <cstdint>
#include <string>

enum : uint32_t {
    INSTALLED_FILE = 1,     // the driver file was copied (or, for -U, is there)
    INSTALLED_REGISTRY = 2, // the service key was created (or, for -U, is there)
    MOVED_TO_BACKUP = 4,    // the installed copy was moved to backupPath
};

// Texts are held whole, however long: a path cut short could name another
// file, and a name cut short could turn into a supported one.
struct InstallerState {
    std::string driverName;
    uint8_t uninstallFlag;
    uint8_t forceFlag;
    uint8_t verboseFlag;
    std::string programName;
    std::string sourceDirectory;
    std::string currentDirectory;
    std::string systemRoot;
    HKEY servicesKey;
    HKEY eventLogKey;
    int32_t lastCommandStatus;
    uint32_t installState;
    std::string backupPath;
};

extern InstallerState state;

#endif
