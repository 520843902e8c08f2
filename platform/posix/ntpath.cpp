#include "platform/posix/ntpath.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include <string>
#include <vector>

static bool Exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// The entry of dir that matches name ignoring case, or "" when none does.
// When several do, the smallest in byte order wins so that the choice never
// depends on the order in which the directory happens to list them.
static std::string FindFolded(const std::string &dir, const std::string &name) {
    DIR *d = opendir(dir.empty() ? "/" : dir.c_str());
    if (d == nullptr)
        return "";
    std::string found;
    while (struct dirent *e = readdir(d)) {
        if (strcasecmp(e->d_name, name.c_str()) != 0)
            continue;
        if (found.empty() || found.compare(e->d_name) > 0)
            found = e->d_name;
    }
    closedir(d);
    return found;
}

static std::vector<std::string> SplitComponents(const std::string &path) {
    std::vector<std::string> parts;
    std::string part;
    for (char c : path) {
        if (c == '\\' || c == '/') {
            parts.push_back(part);
            part.clear();
        } else {
            part += c;
        }
    }
    parts.push_back(part);
    return parts;
}

std::string ResolveWindowsPath(const std::string &path) {
    std::vector<std::string> parts = SplitComponents(path);
    std::string out;
    bool resolving = true;
    for (size_t i = 0; i < parts.size(); i++) {
        std::string name = parts[i];
        std::string dir = out.empty() && i > 0 ? "/" : (out.empty() ? "." : out);
        bool special = name.empty() || name == "." || name == "..";
        if (resolving && !special && !Exists(dir + "/" + name)) {
            std::string folded = FindFolded(dir, name);
            if (folded.empty())
                resolving = false;
            else
                name = folded;
        }
        if (i > 0)
            out += '/';
        out += name;
    }
    return out;
}
