// The offline SYSTEM hive of one run: found through SystemRoot, locked,
// checked and loaded on first use, and written back once when the process
// ends.
//
// The hive is mapped privately (HiveCells), which costs little however
// large it is: a run pays for the pages it reads and changes.
#ifndef DRVINST_POSIX_HIVE_SESSION_H
#define DRVINST_POSIX_HIVE_SESSION_H

#include "cells.h"
#include "platform/posix/winapi.h"
#include "subkeys.h"

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
    HiveCells *hive = nullptr;
    HiveIdentity identity; // the file the hive was first loaded from
    std::string path;      // the hive file, symbolic links resolved, for messages
    std::string name;      // its entry in the directory that lockFd holds
    int lockFd = -1;       // the hive's directory, locked for the whole run
    int imageFd = -1;      // the image recovered from a dirty hive's logs, else -1
    int fileFd = -1;       // the hive file first found (O_PATH)
    HiveFreeSpace space;   // as the check found it, until the hive is mapped
    std::string openPath;  // names exactly that file
    bool changed = false;
    bool poisoned = false;      // a change failed half way: the image must not be written
    bool selectNoticed = false; // the control set choice has been reported
    uint64_t now = 0;           // the last-write time of every key the run changes
    SubkeyCache subkeys;
    // Keys deleted by the run but still in the hive, by parent.  Each
    // parent's list is rewritten once, at the run's next other change or
    // at the commit, so that emptying a key of N subkeys one by one costs
    // one pass over its list rather than N.
    std::map<HiveNode, std::set<HiveNode>> doomed;
};

// The session, opening the hive first when no session is open.  A hive that
// cannot be opened is reported on stdout in one line and yields a Win32
// code; the next call tries again.
LONG HiveAcquire(HiveSession **session);

// The open session, or null.
HiveSession *HiveCurrent();

// Every change goes between these two.  Begin refuses once an earlier
// change has failed, since nothing of this run will be written anyway,
// and carries out the deferred deletions, so that the change sees the
// hive as the run has left it.
// End records how the change went: one that failed may have left the
// image half changed, so after it the image is never written.  Reads
// never need more than HiveAcquire.
LONG HiveBeginWrite(HiveSession *session);
LONG HiveEndWrite(HiveSession *session, LONG rc);

// Records that node, a key whose subkeys are all deleted, is deleted from
// parent; the hive loses it at the next Begin or at the commit.
LONG HiveDeleteLater(HiveSession *session, HiveNode node, HiveNode parent);

// Writes the run's changes, if any, to the hive (see CommitHive), then
// closes the session and releases the lock.  Returns the status the
// process should end with: the given one, or a non-zero one when the
// changes could not be written (which is reported on stdout).
int HiveFinish(int status);

// Writes the run's changes now rather than when the process ends, keeping
// the session and its lock, for a step that must come after them on disk.
// The run changes nothing after it.  A failure is reported on stdout, and
// is not tried again at the end.
LONG HiveWriteNow();

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
bool ReplaceHiveFile(HiveCells *hive, int dirFd, const std::string &name, uint64_t filetime,
                     std::string *problem);

// Makes the image a clean primary numbered sequence, last written at
// filetime (or just after, see StampBaseBlock).
void SealImage(HiveCells *hive, uint64_t filetime, uint32_t sequence);

#endif
