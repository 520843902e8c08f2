#include "session.h"

#include "file.h"
#include "image.h"
#include "log.h"
#include "node.h"
#include "place.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
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

// Checks the file before the editor sees it: the editor follows the
// hive's own links, and a hive whose log still holds changes is not the
// hive the system would load.  A dirty hive is recovered from its logs
// first, and the editor is given the recovered image instead.
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
        rc = CheckHiveFile(fd, size, &problem, &session->space);
    close(fd);
    if (!problem.empty())
        Report(path, problem);
    else if (!note.empty() && HiveVerbose())
        Report(path, note);
    *identity = IdentityOf(st);
    return rc;
}

// Maps the checked image: the file itself or the image recovered from
// its logs.
LONG MapChecked(HiveSession *session) {
    const std::string &path = session->path;
    int fd = session->imageFd >= 0 ? session->imageFd
                                   : open(session->openPath.c_str(), O_RDONLY | O_CLOEXEC);
    auto cells = std::make_unique<HiveCells>();
    bool mapped = fd >= 0 && cells->Map(fd, &session->space);
    session->space = HiveFreeSpace();
    int error = errno;
    if (fd >= 0 && fd != session->imageFd)
        close(fd);
    if (!mapped) {
        errno = error;
        return ReportErrno(path, "cannot read the hive");
    }
    if (!HiveStillInPlace(session, session->identity)) {
        Report(path, "the hive was changed by another program while this run was using it");
        return ERROR_CANTWRITE;
    }
    session->hive = cells.release();
    return ERROR_SUCCESS;
}

LONG LoadHive(HiveSession *session) {
    LONG rc = CheckHive(session, &session->identity);
    return rc != ERROR_SUCCESS ? rc : MapChecked(session);
}

// A hive changed by another program since it was loaded is found at the
// first change after, so that the run fails before it goes on to copy
// files for registry entries it could never write.
LONG CheckWritable(HiveSession *session) {
    if (!session->poisoned && !HiveStillInPlace(session, session->identity)) {
        Report(session->path,
               "the hive was changed by another program while this run was using it");
        session->poisoned = true;
    }
    return session->poisoned ? ERROR_CANTWRITE : ERROR_SUCCESS;
}

unsigned Depth(const HiveCells &hive, HiveNode node) {
    unsigned depth = 0;
    for (HiveNode parent = 0; depth < 1024 && NodeParent(hive, node, &parent) == ERROR_SUCCESS;
         node = parent)
        depth++;
    return depth;
}

// The deepest parents first: a deleted key that had subkeys has lost them
// by the time its own parent's list is rewritten.
LONG ApplyDeletions(HiveSession *session) {
    std::multimap<unsigned, HiveNode, std::greater<unsigned>> order;
    for (const auto &entry : session->doomed)
        order.emplace(Depth(*session->hive, entry.first), entry.first);
    for (const auto &entry : order) {
        LONG rc =
            DeleteSubkeys(session->hive, entry.second, session->doomed[entry.second], session->now);
        if (rc != ERROR_SUCCESS) {
            session->poisoned = true;
            return rc;
        }
    }
    session->doomed.clear();
    return ERROR_SUCCESS;
}

void CloseSession() {
    g_session->subkeys.Clear();
    delete g_session->hive;
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
        opened->now = CurrentFiletime();
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
    LONG rc = CheckWritable(session);
    return rc == ERROR_SUCCESS ? ApplyDeletions(session) : rc;
}

// Whether the hive is still the one loaded is asked when the deletions
// are carried out, not for each of them.
LONG HiveDeleteLater(HiveSession *session, HiveNode node, HiveNode parent) {
    if (session->poisoned)
        return ERROR_CANTWRITE;
    session->doomed[parent].insert(node);
    session->changed = true;
    return ERROR_SUCCESS;
}

LONG HiveEndWrite(HiveSession *session, LONG rc) {
    if (rc == ERROR_SUCCESS)
        session->changed = true;
    else
        session->poisoned = true;
    return rc;
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

LONG HiveWriteNow() {
    if (g_session == nullptr)
        return ERROR_SUCCESS;
    if (g_session->changed && !g_session->poisoned)
        HiveBeginWrite(g_session);
    if (g_session->poisoned) // reported when the run ends, as ever
        return ERROR_CANTWRITE;
    std::string problem;
    bool written = !g_session->changed || CommitHive(g_session, &problem);
    if (!written)
        Report(g_session->path, problem);
    g_session->changed = false;
    return written ? ERROR_SUCCESS : ERROR_CANTWRITE;
}

void HiveDiscard() {
    if (g_session != nullptr)
        CloseSession();
}
