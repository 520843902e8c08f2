// Windows-style paths on a POSIX file system: "\" separates components and
// each component matches case-insensitively, as NTFS does.
#ifndef DRVINST_POSIX_NTPATH_H
#define DRVINST_POSIX_NTPATH_H

#include <string>

// Returns the POSIX path that the Windows-style path names.  Each existing
// component is replaced by the directory entry that matches it, exactly if
// one does, otherwise ignoring ASCII case; the first missing component and
// everything after it are kept as written, so a file can still be created.
std::string ResolveWindowsPath(const std::string &path);

#endif
