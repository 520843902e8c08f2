// File system helpers shared by the commands.  Like the commands' own
// helpers they return 0 on success and otherwise the errno value that
// tells why not.  Paths reach files through TreePlace, so that a path in
// the Windows tree never leads outside it.
#ifndef DRVINST_CMD_FSUTIL_H
#define DRVINST_CMD_FSUTIL_H

#include "platform/posix/confine.h"

#include <string>
#include <sys/stat.h>

// The read-only attribute of a Windows file is its owner's missing write
// permission here.  It is kept apart from what the file system would allow,
// because whoever services a tree offline may well be allowed everything.
bool IsReadOnly(const struct stat &st);

// Makes a directory's entries durable.  A file system that cannot sync
// directories at all says EINVAL; there is nothing better to be had there.
int SyncDirectory(int dirFd);

// Says on stderr why the place of written could not be found; gives 1.
int Unreachable(const char *command, const std::string &written, const TreePlace &place);

// Finds the entry written names, itself rather than where a link leads.
// Says why on stderr and gives 1 when the path was refused or the way to
// it is missing; 0 otherwise, the entry itself may be absent.
int FindEntry(const char *command, const std::string &written, TreePlace *place);

// Where a file called name lands when the written destination is dest:
// inside it when it names a directory, otherwise dest itself.  As
// FindEntry.
int FindTarget(const char *command, const std::string &dest, const std::string &name,
               TreePlace *target);

// Whether target may be replaced: EISDIR for a directory, EACCES for a
// read-only file, 0 for anything else including a missing target.
int CheckReplaceable(const TreePlace &target);

#endif
