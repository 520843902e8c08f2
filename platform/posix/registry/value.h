#ifndef DRVINST_POSIX_REGISTRY_VALUE_H
#define DRVINST_POSIX_REGISTRY_VALUE_H

#include "platform/posix/hive/hive.h"
#include "platform/posix/winapi.h"

// Stores one value under the node as RegSetValueExA does: string data
// widened to UTF-16LE, a DWORD little-endian, and a value of the same name
// (ignoring case) replaced in place with every other value kept.
LONG StoreValue(HiveSession *session, HiveNode node, const char *name, DWORD type, const BYTE *data,
                DWORD size);

#endif
