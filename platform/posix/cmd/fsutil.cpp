#include "fsutil.h"

#include "platform/posix/ntpath.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

std::string DirName(const std::string &path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseName(const std::string &path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool IsReadOnly(const struct stat &st) {
    return !S_ISDIR(st.st_mode) && (st.st_mode & S_IWUSR) == 0;
}

int SyncDirectory(const std::string &dir) {
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    int err = fsync(fd) == 0 || errno == EINVAL ? 0 : errno;
    close(fd);
    return err;
}

static bool IsDirectory(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string TargetFor(const std::string &dest, const std::string &source) {
    std::string resolved = ResolveWindowsPath(dest);
    if (IsDirectory(resolved))
        return ResolveWindowsPath(resolved + "/" + BaseName(source));
    return resolved;
}

int CheckReplaceable(const std::string &target) {
    struct stat st;
    if (lstat(target.c_str(), &st) != 0)
        return 0;
    if (S_ISDIR(st.st_mode))
        return EISDIR;
    return IsReadOnly(st) ? EACCES : 0;
}

bool SameFile(const std::string &a, const std::string &b) {
    struct stat sa, sb;
    if (stat(a.c_str(), &sa) != 0 || stat(b.c_str(), &sb) != 0)
        return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}
