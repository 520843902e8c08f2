#include "tree.h"

#include "file.h"
#include "image.h"
#include "node.h"
#include "session.h"
#include "text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

bool Fail(std::string *error, const std::string &what) {
    *error = what + ": " + strerror(errno != 0 ? errno : EIO);
    return false;
}

bool MakeDirectories(const std::string &path, std::string *error) {
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        std::string prefix = path.substr(0, slash);
        if (mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST)
            return Fail(error, "cannot create " + prefix);
        if (slash == std::string::npos)
            return true;
    }
}

// The key at the end of names below the root, made where missing.
HiveNode AddPath(HiveCells *hive, const std::vector<const char *> &names, uint64_t filetime) {
    HiveNode node = RootNode(*hive);
    for (const char *name : names) {
        std::vector<HiveNode> children;
        HiveNode found = 0;
        if (ChildNodes(*hive, node, &children) != ERROR_SUCCESS)
            return 0;
        for (HiveNode child : children) {
            std::string existing;
            if (found == 0 && NodeName(*hive, child, &existing) == ERROR_SUCCESS &&
                SameRegistryName(existing, name))
                found = child;
        }
        if (found == 0 && AddChildNode(hive, node, name, filetime, &found) != ERROR_SUCCESS)
            return 0;
        node = found;
    }
    return node;
}

StoredValue Dword(const char *name, uint32_t value) {
    std::string data(4, '\0');
    WriteLe32(reinterpret_cast<uint8_t *>(&data[0]), value);
    return {name, REG_DWORD, data};
}

bool Fill(HiveCells *hive, const TreeLayout &layout, uint64_t now) {
    HiveNode select = AddPath(hive, {"Select"}, now);
    for (unsigned number : {layout.current, layout.defaultSet}) {
        char name[32];
        snprintf(name, sizeof name, "ControlSet%03u", number);
        if (AddPath(hive, {name, "Services", "EventLog", "System"}, now) == 0)
            return false;
    }
    return select != 0 && SetNodeValue(hive, select, Dword("Current", layout.current), now) == 0 &&
           SetNodeValue(hive, select, Dword("Default", layout.defaultSet), now) == 0;
}

bool FillHive(const std::string &path, const TreeLayout &layout, std::string *error) {
    errno = 0;
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    HiveCells hive;
    uint64_t now = CurrentFiletime();
    bool ok = fd >= 0 && hive.Map(fd) && Fill(&hive, layout, now);
    if (ok) {
        SealImage(&hive, now, 1);
        ok =
            pwrite(fd, hive.Image(), hive.ImageSize(), 0) == static_cast<ssize_t>(hive.ImageSize());
    }
    if (!ok)
        Fail(error, "cannot fill " + path);
    if (fd >= 0)
        close(fd);
    return ok;
}

} // namespace

bool WriteEmptyHive(const std::string &path, const std::string &rootName, std::string *error) {
    std::vector<uint8_t> image = BuildEmptyHive(rootName, CurrentFiletime());
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        return Fail(error, "cannot create " + path);
    bool ok = write(fd, image.data(), image.size()) == static_cast<ssize_t>(image.size());
    if (!ok)
        Fail(error, "cannot write " + path);
    if (close(fd) != 0 && ok)
        ok = Fail(error, "cannot write " + path);
    return ok;
}

bool MakeWindowsTree(const std::string &root, const TreeLayout &layout, std::string *error) {
    if (layout.current < 1 || layout.current > 999 || layout.defaultSet < 1 ||
        layout.defaultSet > 999) {
        *error = "control set numbers must lie between 1 and 999";
        return false;
    }
    std::string system32 = root + "/WINNT/system32";
    std::string hive = system32 + "/config/SYSTEM";
    return MakeDirectories(system32 + "/drivers", error) &&
           MakeDirectories(system32 + "/config", error) && WriteEmptyHive(hive, "ROOT", error) &&
           FillHive(hive, layout, error);
}
