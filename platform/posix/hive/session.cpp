#include "session.h"

#include "file.h"
#include "log.h"
#include "place.h"

#include <fcntl.h>
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

LONG ReportErrno(const std::string &path, const char *what) {
    int error = errno;
    Report(path, std::string(what) + ": " + strerror(error));
    return StatusOfErrno(error);
}

HiveIdentity IdentityOf(const struct stat &st) {
    return {st.st_dev, st.st_ino, st.st_size, st.st_mtim};
}

// Checks the file before hivex sees it: hivex trusts more of a damaged
// file than is safe, and would happily open a hive whose log still holds
// changes.  A dirty hive is recovered from its logs first, and hivex is
// given the recovered image instead.
LONG CheckHive(HiveSession *session, HiveIdentity *identity) {
    const std::string &path = session->path;
    int fd = open(session->openPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return ReportErrno(path, "cannot open the hive");
    struct stat st;
    if (fstat(fd, &st) != 0) {
        LONG rc = ReportErrno(path, "cannot examine the hive");
        close(fd);
        return rc;
    }
    std::string problem, note;
    uint64_t size = static_cast<uint64_t>(st.st_size);
    LONG rc = ReplayDirtyHive(fd, size, session->lockFd, session->name, &session->imageFd, &note,
                              &problem);
    if (rc == ERROR_SUCCESS && session->imageFd < 0)
        rc = CheckHiveFile(fd, size, &problem);
    close(fd);
    if (!problem.empty())
        Report(path, problem);
    else if (!note.empty() && HiveVerbose())
        Report(path, note);
    *identity = IdentityOf(st);
    return rc;
}

LONG OpenChecked(const HiveSession *session, int flags, const HiveIdentity &identity,
                 hive_h **hive) {
    const std::string &path = session->path;
    std::string source = session->imageFd < 0 ? session->openPath
                                              : "/proc/self/fd/" + std::to_string(session->imageFd);
    errno = 0;
    *hive = hivex_open(source.c_str(), flags);
    if (*hive == nullptr) {
        // hivex says ENOTSUP or EINVAL of a file it does not understand;
        // anything else is the system failing to read it.
        bool damaged = errno == 0 || errno == ENOTSUP || errno == EINVAL || errno == EFAULT;
        Report(path, std::string(damaged ? "hive is damaged and cannot be loaded ("
                                         : "cannot read the hive (") +
                         strerror(errno != 0 ? errno : ENOTSUP) + ")");
        return damaged ? ERROR_REGISTRY_CORRUPT : ERROR_CANTREAD;
    }
    if (HiveStillInPlace(session, identity))
        return ERROR_SUCCESS;
    hivex_close(*hive);
    *hive = nullptr;
    Report(path, "the hive was changed by another program while this run was using it");
    return ERROR_CANTWRITE;
}

LONG LoadHive(HiveSession *session) {
    LONG rc = CheckHive(session, &session->identity);
    return rc != ERROR_SUCCESS ? rc : OpenChecked(session, 0, session->identity, &session->hive);
}

// The writable handle replaces the read-only one.  A run that cannot make
// the switch can change nothing, so it is poisoned: deletions recorded
// before it would otherwise be silently lost.
LONG MakeWritable(HiveSession *session) {
    if (session->writable)
        return ERROR_SUCCESS;
    hive_h *writable = nullptr;
    LONG rc = OpenChecked(session, HIVEX_OPEN_WRITE, session->identity, &writable);
    if (rc != ERROR_SUCCESS) {
        session->poisoned = true;
        return rc;
    }
    hivex_close(session->hive);
    session->hive = writable;
    session->writable = true;
    return ERROR_SUCCESS;
}

// Deletes each removed tree whole: a doomed key whose parent is doomed too
// goes with that parent.
LONG ApplyDeletions(HiveSession *session) {
    std::map<hive_node_h, hive_node_h> doomed;
    doomed.swap(session->doomed);
    for (const auto &entry : doomed) {
        if (doomed.count(entry.second) != 0)
            continue;
        session->touched.insert(entry.second);
        errno = 0;
        if (hivex_node_delete_child(session->hive, entry.first) != 0) {
            session->poisoned = true;
            return ERROR_CANTWRITE;
        }
    }
    return ERROR_SUCCESS;
}

void CloseSession() {
    g_session->subkeys.Clear();
    if (g_session->hive != nullptr)
        hivex_close(g_session->hive);
    close(g_session->lockFd);
    close(g_session->fileFd);
    if (g_session->imageFd >= 0)
        close(g_session->imageFd);
    delete g_session;
    g_session = nullptr;
}

} // namespace

LONG HiveAcquire(HiveSession **session) {
    if (g_session == nullptr) {
        static unsigned long sessions = 0;
        auto opened = std::make_unique<HiveSession>();
        opened->serial = ++sessions;
        LONG rc = PlaceHive(opened.get());
        if (rc == ERROR_SUCCESS)
            rc = LoadHive(opened.get());
        if (rc == ERROR_SUCCESS)
            RemoveStaleTemporaries(opened.get());
        if (rc != ERROR_SUCCESS) {
            if (opened->lockFd >= 0)
                close(opened->lockFd);
            if (opened->fileFd >= 0)
                close(opened->fileFd);
            if (opened->imageFd >= 0)
                close(opened->imageFd);
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
    if (session->poisoned)
        return ERROR_CANTWRITE;
    LONG rc = MakeWritable(session);
    return rc == ERROR_SUCCESS ? ApplyDeletions(session) : rc;
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

void HiveTouch(HiveSession *session, hive_node_h node) {
    session->touched.insert(node);
}

LONG HiveDeleteLater(HiveSession *session, hive_node_h node, hive_node_h parent) {
    if (session->poisoned)
        return ERROR_CANTWRITE;
    session->doomed[node] = parent;
    session->changed = true;
    return ERROR_SUCCESS;
}

int HiveFinish(int status) {
    if (g_session == nullptr)
        return status;
    if (g_session->changed && !g_session->poisoned)
        HiveBeginWrite(g_session);
    bool written = true;
    std::string problem;
    if (g_session->poisoned) {
        problem = "a registry change failed during this run, so none of its changes were "
                  "written; the hive is unchanged";
        written = false;
    } else if (g_session->changed) {
        written = CommitHive(g_session, &problem);
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
