// Copying a file so that a crash or a failure never leaves a torn one.
#ifndef DRVINST_CMD_DURABLECOPY_H
#define DRVINST_CMD_DURABLECOPY_H

#include "platform/posix/confine.h"

// Copies the bytes of the regular file open at from to target.  At every
// moment target is either what it was before or the complete copy, and
// once this returns 0 the copy survives a crash.  The copy keeps the
// source's modification time and its read-only attribute, as a copy on
// Windows does.  Returns 0 or an errno value; on failure no temporary file
// is left behind.
int CopyDurably(int from, const TreePlace &target);

#endif
