#include "commands.h"
#include "durablecopy.h"
#include "fsutil.h"
#include "messages.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

// Between file systems a rename cannot work; the file is copied durably
// first, so that it exists complete in at least one place at every moment,
// and only then removed from where it was.
static int MoveAcross(const TreePlace &source, const TreePlace &target) {
    int from = OpenRegularFile(source);
    if (from < 0)
        return errno;
    int err = CopyDurably(from, target);
    close(from);
    if (err == 0 && unlinkat(source.dirFd, source.name.c_str(), 0) != 0)
        err = errno;
    if (err == 0)
        err = SyncDirectory(source.dirFd);
    return err;
}

// A rename that cannot be made durable is undone, so that whoever ran the
// move, told that it failed, finds the file where it was.  A target file
// the rename replaced is gone for good all the same; putting the source
// back is all that can be tried, and whether that lasts is up to the same
// failing file system.
static int RelocateFile(const TreePlace &source, const TreePlace &target) {
    const char *from = source.name.c_str(), *to = target.name.c_str();
    if (renameat(source.dirFd, from, target.dirFd, to) != 0)
        return errno == EXDEV ? MoveAcross(source, target) : errno;
    int err = SyncDirectory(target.dirFd);
    if (err == 0 && !SameDirectory(source, target))
        err = SyncDirectory(source.dirFd);
    if (err != 0 && renameat(target.dirFd, to, source.dirFd, from) == 0)
        SyncDirectory(source.dirFd);
    return err;
}

// Only files are moved, a link as itself.  An existing target file is
// replaced, as it is when a batch file moves one, unless it is read-only.
int MoveCommand(const Arguments &arguments) {
    TreePlace source, target;
    if (FindEntry("move", arguments.paths[0], &source) != 0)
        return 1;
    int err = !source.exists ? ENOENT : (S_ISDIR(source.st.st_mode) ? EISDIR : 0);
    if (err != 0) {
        Complain("move", source.shown, err);
        return 1;
    }
    if (FindTarget("move", arguments.paths[1], source.name, &target) != 0)
        return 1;
    err = CheckReplaceable(target);
    if (err == 0)
        err = RelocateFile(source, target);
    if (err != 0)
        Complain("move", target.shown, err);
    return err == 0 ? 0 : 1;
}
