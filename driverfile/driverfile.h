// Driver file installation: the version probe and the file placement.
#ifndef DRVINST_DRIVERFILE_H
#define DRVINST_DRIVERFILE_H

#include <cstdint>
#include <string>

// Reads the FileVersion text of a file's version resource as major.minor.
bool GetFileVersion(const char *path, int32_t *major, int32_t *minor);

// The parse of a FileVersion text whose reported length is count, which
// may or may not include a terminating zero character.
bool ParseFileVersion(const char *text, uint32_t count, int32_t *major, int32_t *minor);

// Puts the driver file in place; returns only when it has been copied.
void InstallDriverFile();

// A path as it may appear in an interpreter command: quoted when it holds
// a character the interpreter would split on or act upon.
std::string CommandPath(const std::string &path);

// Whether a path can be handed to the interpreter at all.
bool IsCommandSafe(const std::string &path);

#endif
