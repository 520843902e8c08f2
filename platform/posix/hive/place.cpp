#include "place.h"

#include "platform/posix/confine.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

LONG Refuse(const std::string &path, const std::string &problem, LONG status) {
    printf("offline registry: %s: %s\n", path.c_str(), problem.c_str());
    return status;
}

LONG ErrnoStatus(int error) {
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
        return ERROR_ACCESS_DENIED;
    default:
        return ERROR_CANTOPEN;
    }
}

LONG Fail(const std::string &path, const char *what) {
    int error = errno;
    return Refuse(path, std::string(what) + ": " + strerror(error), ErrnoStatus(error));
}

// Locks the hive's directory rather than the hive, because the commit
// replaces the hive file and a lock on the old file would not hold back a
// run that opens the new one.  Locking the directory leaves no lock file.
LONG LockDirectory(HiveSession *session, const std::string &tree) {
    int how = LOCK_EX | LOCK_NB;
    while (flock(session->lockFd, how) != 0) {
        if (errno == EWOULDBLOCK && how != LOCK_EX) {
            printf("waiting for another drvinst run on %s\n", tree.c_str());
            fflush(stdout);
            how = LOCK_EX;
        } else if (errno != EINTR) {
            int error = errno;
            return Refuse(session->path,
                          std::string("cannot lock the hive's directory: ") + strerror(error),
                          ErrnoStatus(error));
        }
    }
    return ERROR_SUCCESS;
}

} // namespace

LONG PlaceHive(HiveSession *session) {
    const char *root = getenv("SystemRoot");
    if (root == nullptr || *root == '\0') {
        printf("offline registry: SystemRoot is not set\n");
        return ERROR_FILE_NOT_FOUND;
    }
    std::string written = std::string(root) + "\\system32\\config\\SYSTEM";
    TreePlace place;
    bool found = FindPlace(written, true, &place);
    if (!place.refusal.empty()) {
        printf("%s\n", RefusalLine(written, place).c_str());
        return ERROR_ACCESS_DENIED;
    }
    std::string shown = place.shown.empty() ? written : place.shown;
    int error = !found ? place.error : (place.exists ? 0 : ENOENT);
    if (error != 0)
        return Refuse(shown, std::string("cannot open the hive: ") + strerror(error),
                      ErrnoStatus(error));
    if (!S_ISREG(place.st.st_mode))
        return Refuse(shown,
                      S_ISDIR(place.st.st_mode) ? "is a directory, not a hive"
                                                : "is not a regular file",
                      ERROR_CANTOPEN);
    session->path = shown;
    session->name = place.name;
    session->lockFd = fcntl(place.dirFd, F_DUPFD_CLOEXEC, 0);
    if (session->lockFd < 0)
        return Fail(shown, "cannot open the hive's directory");
    LONG rc = LockDirectory(session, root);
    if (rc != ERROR_SUCCESS)
        return rc;
    // Only now: a run that held the lock may have replaced the file.
    session->fileFd = OpenFilePath(place, &session->openPath);
    if (session->fileFd < 0)
        return Fail(shown, "cannot open the hive");
    return ERROR_SUCCESS;
}

bool HiveStillInPlace(const HiveSession *session, const HiveIdentity &identity) {
    struct stat st;
    return fstatat(session->lockFd, session->name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
           st.st_dev == identity.device && st.st_ino == identity.inode &&
           st.st_size == identity.size && st.st_mtim.tv_sec == identity.modified.tv_sec &&
           st.st_mtim.tv_nsec == identity.modified.tv_nsec;
}

// A temporary file left by a run that was killed while committing.  It is
// stale by the time anyone holds the lock.
void RemoveStaleTemporaries(const HiveSession *session) {
    std::string prefix = HiveTemporaryPrefix(session->name);
    int scanFd = openat(session->lockFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *dir = scanFd < 0 ? nullptr : fdopendir(scanFd);
    if (dir == nullptr) {
        if (scanFd >= 0)
            close(scanFd);
        return;
    }
    while (struct dirent *entry = readdir(dir)) {
        if (strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0)
            unlinkat(session->lockFd, entry->d_name, 0);
    }
    closedir(dir);
}
