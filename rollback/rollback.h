// Rollback of a failed install, and the uninstall.
#ifndef DRVINST_ROLLBACK_H
#define DRVINST_ROLLBACK_H

// Removes what installState says is in place and ends the process.
[[noreturn]] void UninstallDriver();

#endif
