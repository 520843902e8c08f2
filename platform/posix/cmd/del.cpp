#include "commands.h"
#include "fsutil.h"
#include "messages.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

// A file that is already gone is what del was asked for, so it is only
// mentioned and does not make the command fail.  The tool does not look at
// del's status; a failure still shows in it for whoever else does.  A link
// is deleted itself, never what it leads to.
static int DeleteOne(const std::string &written, bool force) {
    TreePlace place;
    if (!FindPlace(written, false, &place)) {
        bool missing = place.refusal.empty() && (place.error == ENOENT || place.error == ENOTDIR);
        if (!missing)
            return Unreachable("del", written, place);
    }
    if (!place.exists) {
        Note("Could Not Find %s\n", place.shown.empty() ? written.c_str() : place.shown.c_str());
        return 0;
    }
    int err = S_ISDIR(place.st.st_mode) ? EISDIR : 0;
    if (err == 0 && IsReadOnly(place.st) && !force)
        err = EACCES;
    if (err == 0 && unlinkat(place.dirFd, place.name.c_str(), 0) != 0)
        err = errno;
    if (err == 0)
        err = SyncDirectory(place.dirFd);
    if (err != 0)
        Complain("del", place.shown, err);
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
