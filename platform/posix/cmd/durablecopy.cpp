#include "durablecopy.h"

#include "fsutil.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

static int WriteAll(int fd, const char *data, size_t size) {
    while (size > 0) {
        ssize_t written = write(fd, data, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0)
            return errno;
        data += written;
        size -= static_cast<size_t>(written);
    }
    return 0;
}

static int CopyBytes(int from, int to) {
    char buffer[64 * 1024];
    for (;;) {
        ssize_t got = read(from, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return errno;
        if (got == 0)
            return 0;
        int err = WriteAll(to, buffer, static_cast<size_t>(got));
        if (err != 0)
            return err;
    }
}

// The temporary file lives beside the target, so that renaming it over the
// target stays on one file system and is atomic.  It is hidden and named
// ".<target>.<pid>.<attempt>.tmp", so that it cannot be mistaken for
// anything else and one whose writer has died can be told from one still
// being written.
static std::string TemporaryStem(const std::string &name) {
    return "." + name.substr(0, 200) + ".";
}

static bool ReadNumber(const char **text, long *value) {
    char *end = nullptr;
    errno = 0;
    *value = strtol(*text, &end, 10);
    bool ok = end != *text && errno == 0 && **text >= '0' && **text <= '9';
    *text = end;
    return ok;
}

// Whether name is a temporary file of the stem whose writer no longer runs.
static bool IsAbandoned(const std::string &name, const std::string &stem) {
    if (name.compare(0, stem.size(), stem) != 0)
        return false;
    const char *rest = name.c_str() + stem.size();
    long pid = 0, attempt = 0;
    if (!ReadNumber(&rest, &pid) || *rest++ != '.' || !ReadNumber(&rest, &attempt) ||
        strcmp(rest, ".tmp") != 0 || pid <= 0)
        return false;
    return kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

// A copy killed half way leaves its temporary file behind; the next copy
// to the same target removes it, so that a crash costs no more than a
// rerun.  Failing to remove one is no reason to fail the copy.
static void RemoveAbandoned(const TreePlace &target) {
    std::string stem = TemporaryStem(target.name);
    int fd = openat(target.dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *listing = fd < 0 ? nullptr : fdopendir(fd);
    if (listing == nullptr) {
        if (fd >= 0)
            close(fd);
        return;
    }
    while (struct dirent *entry = readdir(listing)) {
        if (IsAbandoned(entry->d_name, stem))
            unlinkat(target.dirFd, entry->d_name, 0);
    }
    closedir(listing);
}

static int CreateTemporary(const TreePlace &target, std::string *temp, int *fd) {
    RemoveAbandoned(target);
    std::string stem = TemporaryStem(target.name) + std::to_string(getpid()) + ".";
    for (int attempt = 0; attempt < 100; attempt++) {
        *temp = stem + std::to_string(attempt) + ".tmp";
        *fd = openat(target.dirFd, temp->c_str(),
                     O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (*fd >= 0)
            return 0;
        if (errno != EEXIST)
            return errno;
    }
    return EEXIST;
}

// Gives the copy the source's time and read-only attribute.
static int CopyAttributes(int to, const struct stat &source) {
    struct timespec times[2] = {{0, UTIME_NOW}, source.st_mtim};
    if (futimens(to, times) != 0)
        return errno;
    if (!IsReadOnly(source))
        return 0;
    struct stat st;
    if (fstat(to, &st) != 0 || fchmod(to, st.st_mode & 07777 & ~0222u) != 0)
        return errno;
    return 0;
}

// Fills the temporary file and closes it, whatever happens.
static int FillTemporary(int from, int to, const struct stat &source) {
    int err = CopyBytes(from, to);
    if (err == 0)
        err = CopyAttributes(to, source);
    if (err == 0 && fsync(to) != 0)
        err = errno;
    if (close(to) != 0 && err == 0)
        err = errno;
    return err;
}

int CopyDurably(int from, const TreePlace &target) {
    struct stat st;
    if (fstat(from, &st) != 0)
        return errno;
    if (!S_ISREG(st.st_mode))
        return S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    std::string temp;
    int to = -1;
    int err = CreateTemporary(target, &temp, &to);
    if (err != 0)
        return err;
    err = FillTemporary(from, to, st);
    if (err == 0 && renameat(target.dirFd, temp.c_str(), target.dirFd, target.name.c_str()) != 0)
        err = errno;
    if (err != 0) {
        unlinkat(target.dirFd, temp.c_str(), 0);
        return err;
    }
    return SyncDirectory(target.dirFd);
}
