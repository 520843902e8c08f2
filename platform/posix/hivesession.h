// The offline SYSTEM hive of one run: found through SystemRoot, locked,
// checked and loaded on first use, and written back once when the process
// ends.
#ifndef DRVINST_POSIX_HIVESESSION_H
#define DRVINST_POSIX_HIVESESSION_H

#include "winapi.h"

#include <hivex.h>

#include <string>

struct HiveSession {
    hive_h *hive = nullptr;
    std::string path; // the hive file, symbolic links resolved
    int lockFd = -1;  // the hive's directory, locked for the whole run
    bool changed = false;
    bool poisoned = false;      // a hivex write failed: the image must not be written
    bool selectNoticed = false; // the control set choice has been reported
};

// The session, opening the hive first when no session is open.  A hive that
// cannot be opened is reported on stdout in one line and yields a Win32
// code; the next call tries again.
LONG HiveAcquire(HiveSession **session);

// The open session, or null.
HiveSession *HiveCurrent();

// Every change goes between these two.  Begin refuses once an earlier write
// has failed, since nothing of this run will be written anyway; End records
// whether the hivex call succeeded.  Reads never need more than
// HiveAcquire, so the hive could later be loaded read-only until the first
// Begin.
LONG HiveBeginWrite(HiveSession *session);
LONG HiveEndWrite(HiveSession *session, bool succeeded);

// Writes the run's changes, if any, to the hive in one atomic replacement,
// then closes the session and releases the lock.  Returns the status the
// process should end with: the given one, or a non-zero one when the
// changes could not be written (which is reported on stdout).
int HiveFinish(int status);

// Closes the session without writing anything.
void HiveDiscard();

// The prefix of the temporary file a commit writes next to the hive.
std::string HiveTemporaryPrefix(const std::string &hivePath);

// Writes the hive image to a temporary file next to path and renames it
// over path, durably and with path's owner and mode.  On failure the file
// at path is untouched, no temporary file remains, and *problem says why.
bool ReplaceHiveFile(hive_h *hive, const std::string &path, int dirFd, std::string *problem);

#endif
