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

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

// Where the first bin keeps its copy of the last-written time.
constexpr size_t kFirstBinTimestamp = 0x14;

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

bool WriteAt(int fd, const uint8_t *bytes, size_t size, off_t offset) {
    return pwrite(fd, bytes, size, offset) == static_cast<ssize_t>(size);
}

// hivex leaves the last-written time as it found it (and the temporary
// file is opened for reading too, to read its base block back).  A new one, in the
// base block and in the first bin's copy of it, means that no old-format
// log written before this commit matches the new hive; new-format entries
// are passed over by their sequence numbers, which hivex moves past every
// entry replayed.  The hive written is clean, so the system reads neither
// kind of log, and the logs are left as they are: emptying them after the
// rename would gain nothing, and before it would lose the only copy of
// changes the old, dirty hive still needs should the run be cut short.
bool Restamp(int fd, std::string *problem) {
    uint8_t base[kBaseBlockSize];
    errno = 0;
    if (pread(fd, base, sizeof base, 0) != static_cast<ssize_t>(sizeof base))
        return Fail(problem, "cannot read back the new hive");
    uint64_t stamp = StampBaseBlock(base, CurrentFiletime());
    uint8_t copy[8];
    WriteLe32(copy, static_cast<uint32_t>(stamp));
    WriteLe32(copy + 4, static_cast<uint32_t>(stamp >> 32));
    if (!WriteAt(fd, base, sizeof base, 0) ||
        !WriteAt(fd, copy, sizeof copy, kBaseBlockSize + kFirstBinTimestamp))
        return Fail(problem, "cannot write the new hive");
    return true;
}

// hivex writes the image by name; fd stays open on the same file so that
// it can be settled without opening the name a second time.
bool WriteTemporary(hive_h *hive, const char *name, int fd, const struct stat &old,
                    std::string *problem) {
    errno = 0;
    if (hivex_commit(hive, name, 0) != 0)
        return Fail(problem, "cannot write the new hive");
    return Restamp(fd, problem) && SettleTemporary(fd, old, problem);
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

bool ReplaceHiveFile(hive_h *hive, int dirFd, const std::string &name, std::string *problem) {
    struct stat old;
    if (fstatat(dirFd, name.c_str(), &old, AT_SYMLINK_NOFOLLOW) != 0)
        return Fail(problem, "cannot examine the hive");
    std::string temp;
    int fd = CreateTemporary(dirFd, name, &temp);
    if (fd < 0)
        return Fail(problem, "cannot create a temporary file next to the hive");
    std::string written = "/proc/self/fd/" + std::to_string(fd);
    bool ok = WriteTemporary(hive, written.c_str(), fd, old, problem);
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
