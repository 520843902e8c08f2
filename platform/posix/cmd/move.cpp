#include "commands.h"
#include "durablecopy.h"
#include "fsutil.h"
#include "messages.h"

#include "platform/posix/ntpath.h"

#include <cerrno>
#include <cstdio>
#include <unistd.h>

// Between file systems a rename cannot work; the file is copied durably
// first, so that it exists complete in at least one place at every moment,
// and only then removed from where it was.
static int MoveAcross(const std::string &source, const std::string &target) {
    int err = CopyDurably(source, target);
    if (err == 0 && unlink(source.c_str()) != 0)
        err = errno;
    if (err == 0)
        err = SyncDirectory(DirName(source));
    return err;
}

// A rename that cannot be made durable is undone, so that a failed move
// has moved nothing: whoever ran it goes on as if the file had stayed,
// and must find it where it was.  Putting it back is all that can be
// tried; whether that lasts is up to the same failing file system.
static int RelocateFile(const std::string &source, const std::string &target) {
    if (rename(source.c_str(), target.c_str()) != 0)
        return errno == EXDEV ? MoveAcross(source, target) : errno;
    int err = SyncDirectory(DirName(target));
    if (err == 0 && DirName(source) != DirName(target))
        err = SyncDirectory(DirName(source));
    if (err != 0 && rename(target.c_str(), source.c_str()) == 0)
        SyncDirectory(DirName(source));
    return err;
}

static int CheckMovable(const std::string &source) {
    struct stat st;
    if (lstat(source.c_str(), &st) != 0)
        return errno;
    return S_ISDIR(st.st_mode) ? EISDIR : 0;
}

// Only files are moved.  An existing target file is replaced, as it is
// when a batch file moves one, unless it is read-only.
int MoveCommand(const Arguments &arguments) {
    std::string source = ResolveWindowsPath(arguments.paths[0]);
    int err = CheckMovable(source);
    if (err != 0) {
        Complain("move", source, err);
        return 1;
    }
    std::string target = TargetFor(arguments.paths[1], source);
    err = CheckReplaceable(target);
    if (err == 0)
        err = RelocateFile(source, target);
    if (err != 0)
        Complain("move", target, err);
    return err == 0 ? 0 : 1;
}
