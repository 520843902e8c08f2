// Driver file installation: the version probe and the file placement.
#ifndef DRVINST_DRIVERFILE_H
#define DRVINST_DRIVERFILE_H

#include <cstdint>
#include <string>

// Reads the FileVersion text of a file's version resource as major.minor.
// When it gives false, *readError (if asked for) is 0 for a file that has
// no version, or the system's code for a file that could not be read.
bool GetFileVersion(const char *path, int32_t *major, int32_t *minor,
                    uint32_t *readError = nullptr);

// Why a file could not be read, for a code that says it could not; null
// for any other code.
const char *ReadErrorReason(uint32_t code);

// The parse of a FileVersion text whose reported length is count, which
// may or may not include a terminating zero character.
bool ParseFileVersion(const char *text, uint32_t count, int32_t *major, int32_t *minor);

// Puts the driver file in place; returns only when it has been copied, or
// when the same version is in place but not yet registered.
void InstallDriverFile();

// A path as it may appear in an interpreter command: quoted when it holds
// a character the interpreter would split on or act upon.
std::string CommandPath(const std::string &path);

// Whether a path can be handed to the interpreter at all.
bool IsCommandSafe(const std::string &path);

#endif
