#include "tree.h"

#include "image.h"

#include <fcntl.h>
#include <hivex.h>
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

hive_node_h AddPath(hive_h *hive, const std::vector<const char *> &names) {
    hive_node_h node = hivex_root(hive);
    for (const char *name : names) {
        hive_node_h child = hivex_node_get_child(hive, node, name);
        node = child != 0 ? child : hivex_node_add_child(hive, node, name);
        if (node == 0)
            return 0;
    }
    return node;
}

bool SetSelect(hive_h *hive, const TreeLayout &layout) {
    hive_node_h select = AddPath(hive, {"Select"});
    char current[4], fallback[4];
    for (int i = 0; i < 4; i++) {
        current[i] = static_cast<char>(layout.current >> (8 * i));
        fallback[i] = static_cast<char>(layout.defaultSet >> (8 * i));
    }
    hive_set_value values[] = {{const_cast<char *>("Current"), hive_t_REG_DWORD, 4, current},
                               {const_cast<char *>("Default"), hive_t_REG_DWORD, 4, fallback}};
    return select != 0 && hivex_node_set_values(hive, select, 2, values, 0) == 0;
}

bool AddControlSet(hive_h *hive, unsigned number) {
    char name[32];
    snprintf(name, sizeof name, "ControlSet%03u", number);
    return AddPath(hive, {name, "Services", "EventLog", "System"}) != 0;
}

bool FillHive(const std::string &path, const TreeLayout &layout, std::string *error) {
    errno = 0;
    hive_h *hive = hivex_open(path.c_str(), HIVEX_OPEN_WRITE);
    if (hive == nullptr)
        return Fail(error, "cannot open " + path);
    bool ok = SetSelect(hive, layout) && AddControlSet(hive, layout.current) &&
              AddControlSet(hive, layout.defaultSet) && hivex_commit(hive, nullptr, 0) == 0;
    if (!ok)
        Fail(error, "cannot fill " + path);
    hivex_close(hive);
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
