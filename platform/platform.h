// The one doorway from the installer's core to the operating system.  On
// Windows it is the real API; for offline servicing from POSIX the same
// names are provided by our own backend over a mounted Windows tree.
#ifndef DRVINST_PLATFORM_H
#define DRVINST_PLATFORM_H

#ifdef _WIN32
#include <windows.h>
#else
#include "posix/winapi.h"
#endif

// Runs the text through the system command interpreter and waits for it.
// Returns the interpreter's exit code, or -1 when none could be started.
int RunCommand(const char *command);

// Ends the process.  The offline backend first makes the run's registry
// changes durable; should that fail it reports so and the status turns
// non-zero, because a failure must never look like success.
[[noreturn]] void EndProcess(int status);

// The user asked for verbose output.  The offline backend then also says
// what it did on its own to read the registry (such as recovering a hive
// from its logs); the system's own registry says nothing of the kind.
void SetPlatformVerbose(bool verbose);

// Ends the process with status 1, before anything is changed, when a 32-bit
// build runs on 64-bit Windows: there system32 is redirected to SysWOW64,
// so the driver would be copied where the service key does not look for it
// and the machine would not boot, while the run reported success.
void RefuseWow64();

#endif
