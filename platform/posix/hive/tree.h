// The skeleton of an offline Windows installation, for demonstrations and
// tests: <root>/WINNT/system32/drivers and a SYSTEM hive in
// <root>/WINNT/system32/config whose Select key names the control sets.
#ifndef DRVINST_POSIX_HIVE_TREE_H
#define DRVINST_POSIX_HIVE_TREE_H

#include <string>

struct TreeLayout {
    unsigned current = 1;    // Select\Current
    unsigned defaultSet = 1; // Select\Default
};

// Writes an empty hive to path; refuses to overwrite an existing file, so
// that a slip of the command line cannot destroy a real hive.
bool WriteEmptyHive(const std::string &path, const std::string &rootName, std::string *error);

// Creates the tree below root.  Each control set the layout names gets
// Services\EventLog\System.  Returns false with the reason in *error.
bool MakeWindowsTree(const std::string &root, const TreeLayout &layout, std::string *error);

#endif
