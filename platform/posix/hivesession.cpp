#include "hivesession.h"

#include "hivefile.h"
#include "ntpath.h"
#include "registrykey.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

HiveSession *g_session = nullptr;

void Report(const std::string &path, const std::string &problem) {
    printf("offline registry: %s: %s\n", path.c_str(), problem.c_str());
}

LONG StatusOfErrno(int error) {
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
        return ERROR_ACCESS_DENIED;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    default:
        return ERROR_CANTOPEN;
    }
}

LONG ReportErrno(const std::string &path, const char *what) {
    int error = errno;
    Report(path, std::string(what) + ": " + strerror(error));
    return StatusOfErrno(error);
}

// The hive file of the tree SystemRoot names, with symbolic links resolved
// so that the commit replaces the file itself rather than a link to it.
LONG LocateHive(std::string *path) {
    const char *root = getenv("SystemRoot");
    if (root == nullptr || *root == '\0') {
        printf("offline registry: SystemRoot is not set\n");
        return ERROR_FILE_NOT_FOUND;
    }
    std::string found = ResolveWindowsPath(std::string(root) + "\\system32\\config\\SYSTEM");
    struct stat st;
    if (stat(found.c_str(), &st) != 0)
        return ReportErrno(found, "cannot open the hive");
    if (!S_ISREG(st.st_mode)) {
        Report(found, S_ISDIR(st.st_mode) ? "is a directory, not a hive" : "is not a regular file");
        return ERROR_CANTOPEN;
    }
    std::unique_ptr<char, decltype(&free)> real(realpath(found.c_str(), nullptr), free);
    if (!real)
        return ReportErrno(found, "cannot resolve the hive's path");
    *path = real.get();
    return ERROR_SUCCESS;
}

// Locks the hive's directory rather than the hive, because the commit
// replaces the hive file and a lock on the old file would not hold back a
// run that opens the new one.  Locking the directory leaves no lock file.
LONG LockDirectory(const std::string &path, int *fd) {
    std::string dir = path.substr(0, path.rfind('/'));
    *fd = open(dir.empty() ? "/" : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (*fd < 0)
        return ReportErrno(dir, "cannot open the hive's directory");
    while (flock(*fd, LOCK_EX) != 0) {
        if (errno != EINTR)
            return ReportErrno(dir, "cannot lock the hive's directory");
    }
    return ERROR_SUCCESS;
}

// A temporary file left by a run that was killed while committing.  It is
// stale by the time anyone holds the lock.
void RemoveStaleTemporaries(int dirFd, const std::string &path) {
    std::string prefix = HiveTemporaryPrefix(path);
    prefix = prefix.substr(prefix.rfind('/') + 1);
    int scanFd = dup(dirFd);
    DIR *dir = scanFd < 0 ? nullptr : fdopendir(scanFd);
    if (dir == nullptr) {
        if (scanFd >= 0)
            close(scanFd);
        return;
    }
    while (struct dirent *entry = readdir(dir)) {
        if (strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0)
            unlinkat(dirFd, entry->d_name, 0);
    }
    closedir(dir);
}

// Checks the file before hivex sees it: hivex trusts more of a damaged
// file than is safe, and would happily open a hive whose log still holds
// changes.
LONG LoadHive(const std::string &path, hive_h **hive) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return ReportErrno(path, "cannot open the hive");
    struct stat st;
    std::string problem;
    LONG rc = fstat(fd, &st) != 0 ? ReportErrno(path, "cannot examine the hive")
                                  : CheckHiveFile(fd, static_cast<uint64_t>(st.st_size), &problem);
    close(fd);
    if (!problem.empty())
        Report(path, problem);
    if (rc != ERROR_SUCCESS)
        return rc;
    *hive = hivex_open(path.c_str(), HIVEX_OPEN_WRITE);
    if (*hive == nullptr) {
        Report(path, std::string("hive is damaged and cannot be loaded (") + strerror(errno) + ")");
        return ERROR_REGISTRY_CORRUPT;
    }
    return ERROR_SUCCESS;
}

void CloseSession() {
    DropAllKeyHandles();
    if (g_session->hive != nullptr)
        hivex_close(g_session->hive);
    close(g_session->lockFd);
    delete g_session;
    g_session = nullptr;
}

} // namespace

LONG HiveAcquire(HiveSession **session) {
    if (g_session == nullptr) {
        auto opened = std::make_unique<HiveSession>();
        LONG rc = LocateHive(&opened->path);
        if (rc == ERROR_SUCCESS)
            rc = LockDirectory(opened->path, &opened->lockFd);
        if (rc == ERROR_SUCCESS) {
            RemoveStaleTemporaries(opened->lockFd, opened->path);
            rc = LoadHive(opened->path, &opened->hive);
        }
        if (rc != ERROR_SUCCESS) {
            if (opened->lockFd >= 0)
                close(opened->lockFd);
            return rc;
        }
        g_session = opened.release();
    }
    *session = g_session;
    return ERROR_SUCCESS;
}

HiveSession *HiveCurrent() {
    return g_session;
}

LONG HiveBeginWrite(HiveSession *session) {
    return session->poisoned ? ERROR_CANTWRITE : ERROR_SUCCESS;
}

// A failed hivex write can leave the in-memory image half changed (a
// failed delete, for one, may have freed cells still linked from the
// parent), so after one the image is never written.
LONG HiveEndWrite(HiveSession *session, bool succeeded) {
    if (!succeeded) {
        session->poisoned = true;
        return ERROR_CANTWRITE;
    }
    session->changed = true;
    return ERROR_SUCCESS;
}

int HiveFinish(int status) {
    if (g_session == nullptr)
        return status;
    bool written = true;
    std::string problem;
    if (g_session->poisoned) {
        problem = "a registry change failed during this run, so none of its changes were "
                  "written; the hive is unchanged";
        written = false;
    } else if (g_session->changed) {
        written = ReplaceHiveFile(g_session->hive, g_session->path, g_session->lockFd, &problem);
    }
    if (!written)
        Report(g_session->path, problem);
    CloseSession();
    fflush(stdout);
    return written || status != 0 ? status : 1;
}

void HiveDiscard() {
    if (g_session != nullptr)
        CloseSession();
}
