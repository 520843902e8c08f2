// The interpreter's diagnostics.  They all go to stderr: stdout is shared
// with the tool that started us and carries only what a command prints
// when it succeeds, so that it reads the same whichever interpreter ran.
// Each line starts with "cmd.exe: ", so that whoever reads the tool's
// output can tell our lines from the tool's own.
#ifndef DRVINST_CMD_MESSAGES_H
#define DRVINST_CMD_MESSAGES_H

#include <string>

void Note(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Reports that command failed on path for the reason errno value err gives.
void Complain(const char *command, const std::string &path, int err);

#endif
