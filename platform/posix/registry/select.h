#ifndef DRVINST_POSIX_REGISTRY_SELECT_H
#define DRVINST_POSIX_REGISTRY_SELECT_H

#include "platform/posix/hive/hive.h"
#include "platform/posix/winapi.h"

// The control set node that CurrentControlSet stands for: ControlSet
// followed by Select\Current in three digits.
LONG CurrentControlSet(HiveSession *session, HiveNode *node);

#endif
