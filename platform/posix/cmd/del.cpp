#include "commands.h"
#include "fsutil.h"
#include "messages.h"

#include "platform/posix/ntpath.h"

#include <cerrno>
#include <unistd.h>

// A file that is already gone is what del was asked for, so it is only
// mentioned and does not make the command fail.  The tool does not look at
// del's status; a failure still shows in it for whoever else does.
static int DeleteOne(const std::string &written, bool force) {
    std::string path = ResolveWindowsPath(written);
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        if (errno != ENOENT && errno != ENOTDIR) {
            Complain("del", path, errno);
            return 1;
        }
        Note("Could Not Find %s\n", path.c_str());
        return 0;
    }
    int err = S_ISDIR(st.st_mode) ? EISDIR : 0;
    if (err == 0 && IsReadOnly(st) && !force)
        err = EACCES;
    if (err == 0 && unlink(path.c_str()) != 0)
        err = errno;
    if (err == 0)
        err = SyncDirectory(DirName(path));
    if (err != 0)
        Complain("del", path, err);
    return err == 0 ? 0 : 1;
}

// /F deletes read-only files too.  Every path is tried even after one has
// failed, and the status tells whether any did.
int DelCommand(const Arguments &arguments) {
    bool force = arguments.switches.find('F') != std::string::npos;
    int status = 0;
    for (const std::string &path : arguments.paths) {
        if (DeleteOne(path, force) != 0)
            status = 1;
    }
    return status;
}
