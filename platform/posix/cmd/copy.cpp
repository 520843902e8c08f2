#include "commands.h"
#include "durablecopy.h"
#include "fsutil.h"
#include "messages.h"

#include <cerrno>
#include <cstdio>
#include <unistd.h>

// The source must be a regular file, and only then is it opened.  Its
// problems are told as its own, so that the message names the right file.
static int OpenSource(const std::string &written, TreePlace *source) {
    if (!FindPlace(written, true, source)) {
        Unreachable("copy", written, *source);
        return -1;
    }
    int from = OpenRegularFile(*source);
    if (from < 0 && errno == EINVAL)
        Note("copy: %s: not a regular file\n", source->shown.c_str());
    else if (from < 0)
        Complain("copy", source->shown, errno);
    return from;
}

static bool SameFile(int from, const TreePlace &target) {
    struct stat a, b;
    return target.exists && fstat(from, &a) == 0 &&
           fstatat(target.dirFd, target.name.c_str(), &b, 0) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

static int CopyTo(int from, const TreePlace &target) {
    if (SameFile(from, target)) {
        Note("copy: %s: The file cannot be copied onto itself.\n", target.shown.c_str());
        return 1;
    }
    int err = CheckReplaceable(target);
    if (err == 0)
        err = CopyDurably(from, target);
    if (err != 0) {
        Complain("copy", target.shown, err);
        return 1;
    }
    printf("        1 file(s) copied.\n");
    return 0;
}

// Without a destination the file is copied into the working directory.
int CopyCommand(const Arguments &arguments) {
    TreePlace source, target;
    int from = OpenSource(arguments.paths[0], &source);
    if (from < 0)
        return 1;
    std::string dest = arguments.paths.size() > 1 ? arguments.paths[1] : ".";
    int status = FindTarget("copy", dest, source.name, &target);
    if (status == 0)
        status = CopyTo(from, target);
    close(from);
    return status;
}
