// Where the session's hive lives: SYSTEM in the config directory of the
// tree that SystemRoot names, found without leaving the tree, and that
// directory locked for the run.
#ifndef DRVINST_POSIX_HIVE_PLACE_H
#define DRVINST_POSIX_HIVE_PLACE_H

#include "session.h"

// Finds the hive, a regular file, and locks the directory that really
// holds it, waiting (and saying so, once) while another run holds it.
// Fills the session's path, name, lockFd, fileFd and openPath.  A problem
// is reported on stdout in one line and yields a Win32 code.
LONG PlaceHive(HiveSession *session);

// Whether the session's hive name still holds the file described,
// unchanged.
bool HiveStillInPlace(const HiveSession *session, const HiveIdentity &identity);

// Removes what a commit killed half way left next to the hive.  Only for a
// hive that has passed its checks: its directory is then known to be the
// tree's own.
void RemoveStaleTemporaries(const HiveSession *session);

#endif
