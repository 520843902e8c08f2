// Paths inside the Windows tree that SystemRoot names.  The tree comes from
// someone else's machine, so nothing in it may lead us elsewhere: every
// component is looked up from an open directory, a symbolic link is
// followed only while it stays inside the tree, and two entries whose
// names differ only in case make a name ambiguous rather than letting one
// of them be picked.  Paths outside the tree (the administrator's own, such
// as the driver's source) are resolved as before, links and all.
#ifndef DRVINST_POSIX_CONFINE_H
#define DRVINST_POSIX_CONFINE_H

#include <sys/stat.h>

#include <string>

// Where a path written the Windows way leads: the directory that holds its
// last entry, open, and that entry's name in it.
struct TreePlace {
    int dirFd = -1;           // the directory holding the entry, or -1
    std::string name;         // the entry as found, or as written when absent
    bool exists = false;      // the entry is there, and st is its status:
    struct stat st = {};      // of the entry itself, unless followsLink
    std::string shown;        // the POSIX path, for messages
    std::string refusal;      // why the path was refused; empty when it was not
    int error = 0;            // errno when the way to the entry cannot be walked
    bool confined = false;    // the path lies in the tree
    bool followsLink = false; // outside the tree: a final link is the kernel's to follow

    TreePlace() = default;
    TreePlace(const TreePlace &) = delete;
    TreePlace &operator=(const TreePlace &) = delete;
    ~TreePlace();
};

// Finds where written leads.  With followLast the place is where a final
// symbolic link leads; without it the place is the link itself, though a
// link in the tree must still lead somewhere inside it.  True when
// place->dirFd is open (the entry itself may be absent); otherwise either
// place->refusal or place->error says why not.
bool FindPlace(const std::string &written, bool followLast, TreePlace *place);

// Opens the entry for reading, but only when it is a regular file: a
// device, FIFO or socket is never opened.  -1 with errno set otherwise
// (EINVAL for an entry that is not a regular file).
int OpenRegularFile(const TreePlace &place);

// An O_PATH descriptor of the entry, which must be a regular file, and a
// path for a library that opens by name: through /proc it names exactly
// that file; without /proc it is the shown path, opened afresh.
int OpenFilePath(const TreePlace &place, std::string *path);

// Whether two places name the same directory.
bool SameDirectory(const TreePlace &a, const TreePlace &b);

// The line that tells why a path was refused.
std::string RefusalLine(const std::string &written, const TreePlace &place);

// Reports the refusal on stdout and ends the process with status 1.  The
// run's registry changes reach the hive only when it ends through
// EndProcess, so none of them is written: a tree that tries to lead the
// tool outside itself gets nothing done to it.
[[noreturn]] void EndRefused(const std::string &written, const TreePlace &place);

#endif
