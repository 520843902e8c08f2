// The offline SYSTEM hive of one run: found through SystemRoot, locked,
// checked and loaded on first use, and written back once when the process
// ends.
//
// The hive is first mapped read-only, which costs little however large it
// is.  hivex can only change a hive it has read whole into memory, and that
// read is the largest single cost of a run, so it waits for the run's first
// change; a run that changes nothing never pays it.  Both handles number a
// key by the offset of its cell in the same bytes, so key handles and the
// subkey cache stay valid across the switch; the file is checked to be the
// one first mapped before the switch is made.
#ifndef DRVINST_POSIX_HIVE_SESSION_H
#define DRVINST_POSIX_HIVE_SESSION_H

#include "platform/posix/winapi.h"
#include "subkeys.h"

#include <hivex.h>

#include <sys/types.h>

#include <ctime>
#include <map>
#include <set>
#include <string>

// Enough of a file's status to tell whether it is still the same, unchanged.
struct HiveIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified = {0, 0};
};

struct HiveSession {
    // Counts the sessions of the process, so that a key handle made in an
    // earlier session is known for stale once that session has closed.
    unsigned long serial = 0;
    hive_h *hive = nullptr; // read-only until the first change, then writable
    bool writable = false;
    HiveIdentity identity; // the file the hive was first loaded from
    std::string path;      // the hive file, symbolic links resolved, for messages
    std::string name;      // its entry in the directory that lockFd holds
    int lockFd = -1;       // the hive's directory, locked for the whole run
    int imageFd = -1;      // the image recovered from a dirty hive's logs, else -1
    int fileFd = -1;       // the hive file first found (O_PATH)
    std::string openPath;  // names exactly that file, for hivex
    bool changed = false;
    bool poisoned = false;      // a hivex write failed: the image must not be written
    bool selectNoticed = false; // the control set choice has been reported
    SubkeyCache subkeys;
    // Keys deleted by the run but still in the hive, each with its parent.
    // hivex copies a bitmap the size of the whole hive for every delete, so
    // removing a tree key by key cost hive size times key count; deferred,
    // each removed tree goes in one hivex call.
    std::map<hive_node_h, hive_node_h> doomed;
    // Keys created, given values or losing or gaining subkeys: hivex leaves
    // their last-write times as they were, so the commit sets them.
    std::set<hive_node_h> touched;
};

// The session, opening the hive first when no session is open.  A hive that
// cannot be opened is reported on stdout in one line and yields a Win32
// code; the next call tries again.
LONG HiveAcquire(HiveSession **session);

// The open session, or null.
HiveSession *HiveCurrent();

// Every hivex change goes between these two.  Begin refuses once an earlier
// write has failed, since nothing of this run will be written anyway; it
// switches to the writable handle and carries out the deferred deletions,
// so that the change sees the hive as the run has left it.  End records
// whether the hivex call succeeded.  Reads never need more than
// HiveAcquire.
LONG HiveBeginWrite(HiveSession *session);
LONG HiveEndWrite(HiveSession *session, bool succeeded);

// Records that node, a key without subkeys below parent, is deleted; the
// hive itself loses it (and any deleted keys below it) at the next Begin
// or when the run's changes are written.
LONG HiveDeleteLater(HiveSession *session, hive_node_h node, hive_node_h parent);

// Records that the run changed node, so that the commit gives it the
// current last-write time.
void HiveTouch(HiveSession *session, hive_node_h node);

// Writes the run's changes, if any, to the hive (see CommitHive), then
// closes the session and releases the lock.  Returns the status the
// process should end with: the given one, or a non-zero one when the
// changes could not be written (which is reported on stdout).
int HiveFinish(int status);

// Closes the session without writing anything.
void HiveDiscard();

// The prefix of the temporary file a commit writes next to the hive.
std::string HiveTemporaryPrefix(const std::string &hiveName);

// Writes the run's changes into the hive file itself, through its
// transaction log, so that a crash at any point leaves a hive that loads
// (after the log is replayed, by this code or the system) as the old one
// or the new one.  A hive file that has other names too is replaced
// instead (ReplaceHiveFile), since writing it in place would change them.
// On failure *problem says why, and whether the hive loads as the old one
// (as it does unless putting the old pages back failed too).
bool CommitHive(HiveSession *session, std::string *problem);

// Writes the hive image to a temporary file in the directory dirFd and
// renames it over name there, durably and with the old file's owner and
// mode.  On failure the file is untouched, no temporary file remains, and
// *problem says why.
bool ReplaceHiveFile(hive_h *hive, int dirFd, const std::string &name, std::string *problem);

#endif
