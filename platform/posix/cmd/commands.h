// The commands the interpreter knows.  Each returns its exit status, 0 for
// success and 1 for failure, and has said why when it fails.
#ifndef DRVINST_CMD_COMMANDS_H
#define DRVINST_CMD_COMMANDS_H

#include "cmdline.h"

int DelCommand(const Arguments &arguments);
int MoveCommand(const Arguments &arguments);
int CopyCommand(const Arguments &arguments);

#endif
