// The hive engine's one doorway: the REGF file and its checks, empty hives
// and trees for new installations, the cells and the keys and values in
// them, and
// the session that loads, changes and writes back the SYSTEM hive of a run.
#ifndef DRVINST_POSIX_HIVE_HIVE_H
#define DRVINST_POSIX_HIVE_HIVE_H

#include "cells.h"
#include "file.h"
#include "image.h"
#include "log.h"
#include "node.h"
#include "session.h"
#include "subkeys.h"
#include "text.h"
#include "tree.h"

#endif
