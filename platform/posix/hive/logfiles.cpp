// Finding a dirty hive's logs beside it and handing the editor the
// recovered image.  Nothing here writes to the tree: the image lives in an anonymous
// file until the run's changes are committed, so a run that changes
// nothing, or is refused, leaves the primary and every log as they were.
#include "file.h"
#include "log.h"
#include "logapply.h"
#include "platform/platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// A log is written in sectors and never outgrows the hive by much; a file
// far larger is not one, and reading it whole would only cost memory.
constexpr uint64_t kLargestLog = uint64_t{1} << 30;

const char *const kLogSuffixes[] = {".LOG1", ".LOG2", ".LOG"};

bool ReadAll(int fd, uint64_t size, std::vector<uint8_t> *bytes) {
    bytes->resize(size);
    return ReadAt(fd, 0, bytes->data(), size);
}

LONG Unreadable(const std::string &name, std::string *problem) {
    *problem = "cannot read its transaction log " + name + ": " + strerror(errno);
    return ERROR_CANTREAD;
}

std::string Note(const HiveRecovery &recovery) {
    std::string note = "replayed " + std::to_string(recovery.applied) +
                       (recovery.oldFormat ? " dirty pages" : " log entries") + " from ";
    for (size_t i = 0; i < recovery.used.size(); i++)
        note += (i == 0 ? "" : " and ") + recovery.used[i];
    return note;
}

// The recovered image in an anonymous file, checked as the primary would
// be, for the editor to map.
LONG Stage(const std::vector<uint8_t> &image, int *imageFd, std::string *problem) {
    int fd = memfd_create("recovered-hive", MFD_CLOEXEC);
    size_t done = 0;
    while (fd >= 0 && done < image.size()) {
        ssize_t n = write(fd, image.data() + done, image.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    if (fd < 0 || done < image.size()) {
        *problem = std::string("cannot hold the recovered hive: ") + strerror(errno);
        if (fd >= 0)
            close(fd);
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    LONG rc = CheckHiveFile(fd, image.size(), problem);
    if (rc != ERROR_SUCCESS) {
        *problem = "after its transaction logs were replayed, " + *problem;
        close(fd);
        return rc;
    }
    *imageFd = fd;
    return ERROR_SUCCESS;
}

bool g_verbose = false;

} // namespace

// Two files answering to one name make it unclear which the system would
// read, so the hive is refused rather than guessed at.
LONG ReadHiveLogs(int dirFd, const std::string &hiveName, std::vector<HiveLog> *logs,
                  std::string *problem) {
    int scanFd = dup(dirFd);
    DIR *dir = scanFd < 0 ? nullptr : fdopendir(scanFd);
    if (dir == nullptr) {
        if (scanFd >= 0)
            close(scanFd);
        *problem = std::string("cannot list the hive's directory: ") + strerror(errno);
        return ERROR_CANTREAD;
    }
    // The duplicate shares the position an earlier listing left.
    rewinddir(dir);
    std::string found[3];
    while (struct dirent *entry = readdir(dir)) {
        for (size_t i = 0; i < 3; i++) {
            std::string name = hiveName + kLogSuffixes[i];
            if (strcasecmp(entry->d_name, name.c_str()) != 0)
                continue;
            if (!found[i].empty()) {
                *problem = "both " + found[i] + " and " + entry->d_name +
                           " answer to its transaction log's name";
                closedir(dir);
                return ERROR_BADDB;
            }
            found[i] = entry->d_name;
        }
    }
    closedir(dir);
    for (const std::string &name : found) {
        if (name.empty())
            continue;
        int fd = openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            return Unreadable(name, problem);
        struct stat st;
        HiveLog log{name, {}};
        bool ok = fstat(fd, &st) == 0;
        if (ok && (!S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) > kLargestLog)) {
            close(fd);
            *problem = "its transaction log " + name + " is not a log file";
            return ERROR_BADDB;
        }
        ok = ok && ReadAll(fd, static_cast<uint64_t>(st.st_size), &log.bytes);
        close(fd);
        if (!ok)
            return Unreadable(name, problem);
        logs->push_back(std::move(log));
    }
    return ERROR_SUCCESS;
}

void SetPlatformVerbose(bool verbose) {
    g_verbose = verbose;
}

bool HiveVerbose() {
    return g_verbose;
}

LONG ReplayDirtyHive(int fd, uint64_t size, int dirFd, const std::string &path, int *imageFd,
                     std::string *note, std::string *problem) {
    *imageFd = -1;
    uint8_t base[kBaseBlockSize];
    std::vector<uint8_t> primary;
    if (size < kMinimumHiveSize || pread(fd, base, sizeof base, 0) != sizeof base ||
        !HiveIsDirty(base, sizeof base))
        return ERROR_SUCCESS; // the ordinary checks say what is wrong, if anything
    if (!ReadAll(fd, size, &primary)) {
        *problem = std::string("cannot read the hive: ") + strerror(errno);
        return ERROR_CANTREAD;
    }
    std::vector<HiveLog> logs;
    LONG rc = ReadHiveLogs(dirFd, path.substr(path.rfind('/') + 1), &logs, problem);
    if (rc != ERROR_SUCCESS)
        return rc;
    HiveRecovery recovery = RecoverHive(std::move(primary), logs);
    if (recovery.image.empty()) {
        *problem = recovery.problem;
        return ERROR_BADDB;
    }
    *note = Note(recovery);
    return Stage(recovery.image, imageFd, problem);
}
