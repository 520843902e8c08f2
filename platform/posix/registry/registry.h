// The registry calls' doorway: open key handles over the hive session.
// The calls themselves are declared with the other Windows names in
// platform/platform.h.
#ifndef DRVINST_POSIX_REGISTRY_REGISTRY_H
#define DRVINST_POSIX_REGISTRY_REGISTRY_H

#include "key.h"

#endif
