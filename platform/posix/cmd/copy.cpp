#include "commands.h"
#include "durablecopy.h"
#include "fsutil.h"
#include "messages.h"

#include "platform/posix/ntpath.h"

#include <cerrno>
#include <cstdio>

// Problems with the source are told apart from problems with the target,
// so that the message names the right file.
static int CheckSource(const std::string &source) {
    struct stat st;
    if (stat(source.c_str(), &st) != 0)
        return errno;
    return S_ISDIR(st.st_mode) ? EISDIR : 0;
}

static int CopyTo(const std::string &source, const std::string &target) {
    if (SameFile(source, target)) {
        Note("copy: %s: The file cannot be copied onto itself.\n", target.c_str());
        return 1;
    }
    int err = CheckReplaceable(target);
    if (err == 0)
        err = CopyDurably(source, target);
    if (err != 0) {
        Complain("copy", target, err);
        return 1;
    }
    printf("        1 file(s) copied.\n");
    return 0;
}

// Without a destination the file is copied into the working directory.
int CopyCommand(const Arguments &arguments) {
    std::string source = ResolveWindowsPath(arguments.paths[0]);
    int err = CheckSource(source);
    if (err != 0) {
        Complain("copy", source, err);
        return 1;
    }
    std::string dest = arguments.paths.size() > 1 ? arguments.paths[1] : ".";
    return CopyTo(source, TargetFor(dest, source));
}
