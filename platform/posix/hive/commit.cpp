// Writing the hive back whole, for a hive file that has other names, which
// writing in place (inplace.cpp) would change too.  The new image goes to a
// temporary file in the hive's own directory, so that the final rename is
// atomic: a crash at any point leaves either the old hive or the new one,
// never a mixture.
#include "file.h"
#include "image.h"
#include "session.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

bool Fail(std::string *problem, const std::string &what) {
    *problem = what + ": " + strerror(errno != 0 ? errno : EIO);
    return false;
}

// Gives the new file the hive's owner and mode (owner first, since a change
// of owner may clear mode bits), then forces it to disk.
bool SettleTemporary(int fd, const struct stat &hive, std::string *problem) {
    struct stat st;
    if (fstat(fd, &st) != 0)
        return Fail(problem, "cannot examine the new hive");
    bool sameOwner = st.st_uid == hive.st_uid && st.st_gid == hive.st_gid;
    if (!sameOwner && fchown(fd, hive.st_uid, hive.st_gid) != 0)
        return Fail(problem, "cannot give the new hive the owner of the old one");
    if (fchmod(fd, hive.st_mode & 07777) != 0)
        return Fail(problem, "cannot give the new hive the mode of the old one");
    if (fsync(fd) != 0)
        return Fail(problem, "cannot flush the new hive to disk");
    return true;
}

// The image is sealed with a new last-written time, in the base block
// and in the first bin's copy of it, so that no old-format log written
// before this commit matches the new hive; new-format entries are passed
// over by the sequence number, moved past every one replayed.  The hive
// written is clean, so the system reads neither kind of log, and the logs
// are left as they are: emptying them after the rename would gain
// nothing, and before it would lose the only copy of changes the old,
// dirty hive still needs should the run be cut short.
bool WriteTemporary(HiveCells *hive, int fd, const struct stat &old, uint64_t filetime,
                    std::string *problem) {
    const uint8_t *base = hive->Image();
    SealImage(hive, filetime,
              std::max(ReadLe32(base + kSequence1Offset), ReadLe32(base + kSequence2Offset)) + 1);
    errno = 0;
    for (size_t done = 0; done < hive->ImageSize();) {
        ssize_t n = pwrite(fd, base + done, hive->ImageSize() - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return Fail(problem, "cannot write the new hive");
        done += static_cast<size_t>(n);
    }
    return SettleTemporary(fd, old, problem);
}

} // namespace

std::string HiveTemporaryPrefix(const std::string &hiveName) {
    return hiveName + ".commit-";
}

// Made in the hive's own directory, reached through its descriptor, so that
// nothing the tree holds can send the new hive anywhere else.
static int CreateTemporary(int dirFd, const std::string &name, std::string *temp) {
    static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    unsigned seed = static_cast<unsigned>(getpid()) ^ static_cast<unsigned>(time(nullptr));
    for (int attempt = 0; attempt < 100; attempt++) {
        *temp = HiveTemporaryPrefix(name);
        for (int i = 0; i < 6; i++)
            *temp += letters[rand_r(&seed) % (sizeof letters - 1)];
        int fd =
            openat(dirFd, temp->c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

bool ReplaceHiveFile(HiveCells *hive, int dirFd, const std::string &name, uint64_t filetime,
                     std::string *problem) {
    struct stat old;
    if (fstatat(dirFd, name.c_str(), &old, AT_SYMLINK_NOFOLLOW) != 0)
        return Fail(problem, "cannot examine the hive");
    std::string temp;
    int fd = CreateTemporary(dirFd, name, &temp);
    if (fd < 0)
        return Fail(problem, "cannot create a temporary file next to the hive");
    bool ok = WriteTemporary(hive, fd, old, filetime, problem);
    if (close(fd) != 0 && ok)
        ok = Fail(problem, "cannot close the new hive");
    if (ok && renameat(dirFd, temp.c_str(), dirFd, name.c_str()) != 0)
        ok = Fail(problem, "cannot rename the new hive over the old one");
    if (!ok) {
        unlinkat(dirFd, temp.c_str(), 0);
        *problem += "; the hive is unchanged";
        return false;
    }
    if (fsync(dirFd) != 0)
        return Fail(problem, "the hive was replaced, but the directory could not be flushed");
    return true;
}
