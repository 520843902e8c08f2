// File system helpers shared by the commands.  Like the commands' own
// helpers they return 0 on success and otherwise the errno value that
// tells why not.
#ifndef DRVINST_CMD_FSUTIL_H
#define DRVINST_CMD_FSUTIL_H

#include <string>
#include <sys/stat.h>

std::string DirName(const std::string &path);
std::string BaseName(const std::string &path);

// The read-only attribute of a Windows file is its owner's missing write
// permission here.  It is kept apart from what the file system would allow,
// because whoever services a tree offline may well be allowed everything.
bool IsReadOnly(const struct stat &st);

// Makes a directory's entries durable.  A file system that cannot sync
// directories at all says EINVAL; there is nothing better to be had there.
int SyncDirectory(const std::string &dir);

// Where a file named like source lands when the written destination is
// dest: inside it when it names a directory, otherwise dest itself.
std::string TargetFor(const std::string &dest, const std::string &source);

// Whether target may be replaced: EISDIR for a directory, EACCES for a
// read-only file, 0 for anything else including a missing target.
int CheckReplaceable(const std::string &target);

// Whether both paths name one file.
bool SameFile(const std::string &a, const std::string &b);

#endif
