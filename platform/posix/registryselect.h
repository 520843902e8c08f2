#ifndef DRVINST_POSIX_REGISTRYSELECT_H
#define DRVINST_POSIX_REGISTRYSELECT_H

#include "hivesession.h"
#include "winapi.h"

// The control set node that CurrentControlSet stands for: ControlSet
// followed by Select\Current in three digits.
LONG CurrentControlSet(HiveSession *session, hive_node_h *node);

#endif
