// The version reader's doorway: the PE image, its version resource, and
// the tree of nodes inside that resource.
#ifndef DRVINST_POSIX_PE_PE_H
#define DRVINST_POSIX_PE_PE_H

#include "image.h"
#include "text.h"
#include "versiontree.h"

#endif
