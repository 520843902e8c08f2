#include "platform/posix/confine.h"

#include "platform/platform.h"
#include "platform/posix/ntpath.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <vector>

namespace {

// As many links as the kernel itself follows in one path.
constexpr int kMostLinks = 40;

using Components = std::deque<std::string>;

Components Split(const std::string &path, const char *separators) {
    Components parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find_first_of(separators, start);
        if (end == std::string::npos)
            end = path.size();
        std::string part = path.substr(start, end - start);
        if (!part.empty() && part != ".")
            parts.push_back(part);
        start = end + 1;
    }
    return parts;
}

bool IsAbsolute(const std::string &path) {
    return !path.empty() && (path[0] == '/' || path[0] == '\\');
}

// NTFS folds case through its own table; the names we look for are ASCII,
// and folding more than ASCII here would only make more names match.
char FoldAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameFolded(const std::string &a, const std::string &b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++)
        if (FoldAscii(a[i]) != FoldAscii(b[i]))
            return false;
    return true;
}

std::string SystemRootText() {
    std::vector<char> buffer(256);
    for (;;) {
        DWORD got =
            GetEnvironmentVariableA("SystemRoot", buffer.data(), static_cast<DWORD>(buffer.size()));
        if (got < buffer.size())
            return std::string(buffer.data(), got);
        buffer.resize(got);
    }
}

// The components of written below SystemRoot, when written lies there.
bool BelowRoot(const std::string &written, std::string *root, Components *rest) {
    *root = SystemRootText();
    if (root->empty() || IsAbsolute(*root) != IsAbsolute(written))
        return false;
    Components top = Split(*root, "/\\"), all = Split(written, "/\\");
    if (all.size() < top.size() || !std::equal(top.begin(), top.end(), all.begin(), SameFolded))
        return false;
    rest->assign(all.begin() + static_cast<long>(top.size()), all.end());
    return true;
}

// The directories from the root down to where the walk has got.
struct Walk {
    std::vector<int> dirs;          // dirs[0] is the root
    std::vector<std::string> names; // names[i] is dirs[i + 1]'s entry in dirs[i]
    std::string rootShown;
    std::string via; // the link last followed, for messages
    int links = 0;
    bool exactFirst = false; // an exact name wins over its case twins

    Walk() = default;
    Walk(const Walk &) = delete;
    Walk &operator=(const Walk &) = delete;
    ~Walk() {
        for (int fd : dirs)
            close(fd);
    }
    std::string Shown(const std::string &entry) const {
        std::string shown = rootShown;
        for (const std::string &name : names)
            shown += "/" + name;
        return entry.empty() ? shown : shown + "/" + entry;
    }
    // A second walk from the same point, for looking ahead.
    bool CopyTo(Walk *other) const {
        for (int fd : dirs) {
            int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
            if (copy < 0)
                return false;
            other->dirs.push_back(copy);
        }
        other->names = names;
        other->rootShown = rootShown;
        other->via = via;
        other->links = links;
        other->exactFirst = exactFirst;
        return true;
    }
};

bool Refuse(TreePlace *place, const std::string &why) {
    place->refusal = why;
    return false;
}

bool Fail(TreePlace *place, int error) {
    place->error = error;
    return false;
}

// The entries of dir whose names match name ignoring case.  When the
// listing cannot be read the name is looked up as written, which is all an
// exact lookup would have done.
int FindEntries(int dir, const std::string &name, std::vector<std::string> *found) {
    int fd = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *listing = fd < 0 ? nullptr : fdopendir(fd);
    if (listing == nullptr) {
        if (fd >= 0)
            close(fd);
        struct stat st;
        if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return errno;
        found->push_back(name);
        return 0;
    }
    while (struct dirent *entry = readdir(listing)) {
        std::string candidate = entry->d_name;
        if (candidate != "." && candidate != ".." && SameFolded(candidate, name))
            found->push_back(candidate);
    }
    closedir(listing);
    return found->empty() ? ENOENT : 0;
}

bool ReadLink(int dir, const std::string &name, std::string *target) {
    std::vector<char> buffer(256);
    for (;;) {
        ssize_t got = readlinkat(dir, name.c_str(), buffer.data(), buffer.size());
        if (got < 0)
            return false;
        if (static_cast<size_t>(got) < buffer.size()) {
            target->assign(buffer.data(), static_cast<size_t>(got));
            return true;
        }
        buffer.resize(buffer.size() * 2);
    }
}

bool Settle(const Walk &walk, const std::string &name, const struct stat *st, TreePlace *place) {
    place->dirFd = fcntl(walk.dirs.back(), F_DUPFD_CLOEXEC, 0);
    if (place->dirFd < 0)
        return Fail(place, errno);
    place->name = name;
    place->exists = st != nullptr;
    if (st != nullptr)
        place->st = *st;
    place->shown = walk.Shown(name == "." ? "" : name);
    return true;
}

bool Resolve(Walk &walk, Components pending, bool followLast, TreePlace *place);

// A link that is itself the place must still lead inside the tree; a
// dangling one may, since nothing is reached through it.
bool CheckLinkTarget(const Walk &walk, const std::string &target, TreePlace *place) {
    Walk ahead;
    if (!walk.CopyTo(&ahead))
        return Fail(place, errno);
    TreePlace probe;
    if (Resolve(ahead, Split(target, "/"), true, &probe) || probe.refusal.empty())
        return true;
    return Refuse(place, probe.refusal);
}

// What entry of the walk's directory finally is, links followed inside
// the tree; false with place->refusal set when a link leads out.
bool Identify(const Walk &walk, const std::string &entry, TreePlace *found, TreePlace *place) {
    struct stat st;
    if (fstatat(walk.dirs.back(), entry.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return Fail(place, errno);
    std::string target;
    if (!S_ISLNK(st.st_mode)) {
        found->exists = true;
        found->st = st;
        return true;
    }
    if (!ReadLink(walk.dirs.back(), entry, &target))
        return Fail(place, errno);
    Walk ahead;
    if (!walk.CopyTo(&ahead))
        return Fail(place, errno);
    ahead.via = walk.Shown(entry);
    ahead.exactFirst = true;
    if (IsAbsolute(target))
        return Refuse(place, "the symbolic link " + ahead.via + " points to " + target +
                                 ", outside the Windows tree");
    ahead.links++;
    if (!Resolve(ahead, Split(target, "/"), true, found) && !found->refusal.empty())
        return Refuse(place, found->refusal);
    return true;
}

// Entries whose names differ only in case are one name only when they are
// one file, as a link "System32" to "system32" makes them; the entry that
// is no link is taken then.  Otherwise the name is ambiguous.  Where each
// link leads is found with exact names first, or the link "System32" would
// lead back to the same choice.
bool Choose(const Walk &walk, const std::vector<std::string> &matches, std::string *chosen,
            TreePlace *place) {
    struct stat first = {};
    for (size_t i = 0; i < matches.size(); i++) {
        TreePlace found;
        if (!Identify(walk, matches[i], &found, place))
            return false;
        bool same =
            found.exists &&
            (i == 0 || (found.st.st_dev == first.st_dev && found.st.st_ino == first.st_ino));
        if (!same)
            return Refuse(place, walk.Shown(matches[0]) + " and " + matches[i == 0 ? 1 : i] +
                                     " differ only in case, so the name is ambiguous");
        if (i == 0)
            first = found.st;
        struct stat own;
        if (chosen->empty() &&
            fstatat(walk.dirs.back(), matches[i].c_str(), &own, AT_SYMLINK_NOFOLLOW) == 0 &&
            !S_ISLNK(own.st_mode))
            *chosen = matches[i];
    }
    if (chosen->empty())
        *chosen = matches[0];
    return true;
}

bool LeavesTree(const Walk &walk, TreePlace *place) {
    if (walk.via.empty())
        return Refuse(place, "the path leads out of the Windows tree");
    return Refuse(place, "the symbolic link " + walk.via + " leads out of the Windows tree");
}

bool OnlyLast(const Components &pending) {
    return std::all_of(pending.begin(), pending.end(),
                       [](const std::string &c) { return c.empty() || c == "."; });
}

bool Resolve(Walk &walk, Components pending, bool followLast, TreePlace *place) {
    while (!pending.empty()) {
        std::string component = pending.front();
        pending.pop_front();
        if (component == "..") {
            if (walk.dirs.size() == 1)
                return LeavesTree(walk, place);
            close(walk.dirs.back());
            walk.dirs.pop_back();
            walk.names.pop_back();
            continue;
        }
        int dir = walk.dirs.back();
        bool last = OnlyLast(pending);
        std::vector<std::string> matches;
        int error = FindEntries(dir, component, &matches);
        if (error == ENOENT && last)
            return Settle(walk, component, nullptr, place);
        if (error != 0)
            return Fail(place, error);
        if (walk.exactFirst &&
            std::find(matches.begin(), matches.end(), component) != matches.end())
            matches.assign(1, component);
        std::string found = matches[0];
        if (matches.size() > 1) {
            found.clear();
            if (!Choose(walk, matches, &found, place))
                return false;
        }
        struct stat st;
        if (fstatat(dir, found.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return Fail(place, errno);
        if (S_ISLNK(st.st_mode)) {
            std::string target;
            if (!ReadLink(dir, found, &target))
                return Fail(place, errno);
            walk.via = walk.Shown(found);
            if (++walk.links > kMostLinks)
                return Refuse(place, "the symbolic link " + walk.via + " is part of a loop");
            if (IsAbsolute(target))
                return Refuse(place, "the symbolic link " + walk.via + " points to " + target +
                                         ", outside the Windows tree");
            if (last && !followLast)
                return CheckLinkTarget(walk, target, place) && Settle(walk, found, &st, place);
            Components inner = Split(target, "/");
            pending.insert(pending.begin(), inner.begin(), inner.end());
            continue;
        }
        if (last)
            return Settle(walk, found, &st, place);
        if (!S_ISDIR(st.st_mode))
            return Fail(place, ENOTDIR);
        int next = openat(dir, found.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0)
            return Fail(place, errno);
        walk.dirs.push_back(next);
        walk.names.push_back(found);
    }
    // The path names a directory reached by "..", or the root itself.
    struct stat st;
    if (fstat(walk.dirs.back(), &st) != 0)
        return Fail(place, errno);
    return Settle(walk, ".", &st, place);
}

std::string WithoutTrailingSeparators(std::string path) {
    while (path.size() > 1 && (path.back() == '/' || path.back() == '\\'))
        path.pop_back();
    return path;
}

bool FindInTree(const std::string &root, Components rest, bool followLast, TreePlace *place) {
    Walk walk;
    walk.rootShown = WithoutTrailingSeparators(ResolveWindowsPath(root));
    int fd = open(walk.rootShown.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return Fail(place, errno);
    walk.dirs.push_back(fd);
    return Resolve(walk, std::move(rest), followLast, place);
}

// Outside the tree: the administrator's own path, taken as the system
// takes it.
bool FindOutside(const std::string &written, bool followLast, TreePlace *place) {
    std::string path = ResolveWindowsPath(written);
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    place->dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (place->dirFd < 0)
        return Fail(place, errno);
    place->name = name.empty() ? "." : name;
    place->shown = path;
    place->followsLink = followLast;
    int flags = followLast ? 0 : AT_SYMLINK_NOFOLLOW;
    place->exists = fstatat(place->dirFd, place->name.c_str(), &place->st, flags) == 0;
    return true;
}

bool SameFile(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// An O_PATH descriptor opens nothing, so a device behind it is untouched
// until its type is known.
int OpenPathOfRegular(const TreePlace &place, struct stat *st) {
    if (!place.exists) {
        errno = ENOENT;
        return -1;
    }
    int follow = place.followsLink ? 0 : O_NOFOLLOW;
    int fd = openat(place.dirFd, place.name.c_str(), O_PATH | O_CLOEXEC | follow);
    if (fd < 0)
        return -1;
    int error = fstat(fd, st) != 0 ? errno : 0;
    if (error == 0 && !S_ISREG(st->st_mode))
        error = S_ISDIR(st->st_mode) ? EISDIR : EINVAL;
    if (error != 0) {
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

std::string ProcPath(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

} // namespace

TreePlace::~TreePlace() {
    if (dirFd >= 0)
        close(dirFd);
}

bool FindPlace(const std::string &written, bool followLast, TreePlace *place) {
    std::string root;
    Components rest;
    if (!BelowRoot(written, &root, &rest))
        return FindOutside(written, followLast, place);
    place->confined = true;
    return FindInTree(root, std::move(rest), followLast, place);
}

// Reopening the O_PATH descriptor through /proc reaches the very file that
// was checked; without /proc the name is opened again and must still be it.
int OpenRegularFile(const TreePlace &place) {
    struct stat st;
    int pathFd = OpenPathOfRegular(place, &st);
    if (pathFd < 0)
        return -1;
    int fd = open(ProcPath(pathFd).c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0 && errno == ENOENT)
        fd = openat(place.dirFd, place.name.c_str(),
                    O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK |
                        (place.followsLink ? 0 : O_NOFOLLOW));
    struct stat opened;
    if (fd >= 0 && (fstat(fd, &opened) != 0 || !SameFile(st, opened))) {
        close(fd);
        fd = -1;
        errno = EAGAIN;
    }
    int error = errno;
    close(pathFd);
    errno = error;
    return fd;
}

int OpenFilePath(const TreePlace &place, std::string *path) {
    struct stat st;
    int fd = OpenPathOfRegular(place, &st);
    if (fd >= 0)
        *path = access(ProcPath(fd).c_str(), F_OK) == 0 ? ProcPath(fd) : place.shown;
    return fd;
}

bool SameDirectory(const TreePlace &a, const TreePlace &b) {
    struct stat sa, sb;
    return fstat(a.dirFd, &sa) == 0 && fstat(b.dirFd, &sb) == 0 && SameFile(sa, sb);
}

std::string RefusalLine(const std::string &written, const TreePlace &place) {
    return "offline tree: " + written + ": " + place.refusal;
}

void EndRefused(const std::string &written, const TreePlace &place) {
    printf("%s\n", RefusalLine(written, place).c_str());
    fflush(stdout);
    exit(1);
}
