// Registry registration: subtree removal and the driver's two keys.
#ifndef DRVINST_REGISTRY_H
#define DRVINST_REGISTRY_H

#include "platform/platform.h"

#include <cstdint>

struct RegistryValueSpec {
    const char *valueName;
    DWORD valueType;
    const char *text; // for REG_SZ and REG_EXPAND_SZ
    DWORD number;     // for REG_DWORD
};

extern const RegistryValueSpec serviceValues[];
extern const int32_t serviceValueCount;
extern const RegistryValueSpec eventLogValues[];
extern const int32_t eventLogValueCount;

// Empties an open key depth first, leaving the key itself: 0 or -1.
int DeleteSubKeys(HKEY key);

// Removes the named key below parent with everything under it, if it can.
void RemoveKeyTree(HKEY parent, const char *name);

// Whether the driver's service key holds each of the six service values
// exactly as an install writes it: the same type and the same data, texts
// with their terminator.  Values and subkeys of its own that the system
// adds do not count.
bool ServiceKeyComplete();

// Writes the driver's service key and event-log source key afresh.
void InstallRegistry();

#endif
