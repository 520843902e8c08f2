#include "fsutil.h"

#include "messages.h"

#include <cerrno>
#include <unistd.h>

bool IsReadOnly(const struct stat &st) {
    return !S_ISDIR(st.st_mode) && (st.st_mode & S_IWUSR) == 0;
}

int SyncDirectory(int dirFd) {
    return fsync(dirFd) == 0 || errno == EINVAL ? 0 : errno;
}

int Unreachable(const char *command, const std::string &written, const TreePlace &place) {
    if (!place.refusal.empty())
        Note("%s\n", RefusalLine(written, place).c_str());
    else
        Complain(command, written, place.error);
    return 1;
}

int FindEntry(const char *command, const std::string &written, TreePlace *place) {
    return FindPlace(written, false, place) ? 0 : Unreachable(command, written, *place);
}

int FindTarget(const char *command, const std::string &dest, const std::string &name,
               TreePlace *target) {
    TreePlace followed;
    if (!FindPlace(dest, true, &followed))
        return Unreachable(command, dest, followed);
    if (followed.exists && S_ISDIR(followed.st.st_mode))
        return FindEntry(command, dest + "\\" + name, target);
    return FindEntry(command, dest, target);
}

int CheckReplaceable(const TreePlace &target) {
    if (!target.exists)
        return 0;
    if (S_ISDIR(target.st.st_mode))
        return EISDIR;
    return IsReadOnly(target.st) ? EACCES : 0;
}
