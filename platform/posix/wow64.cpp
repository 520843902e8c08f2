#include "platform/platform.h"

// An offline tree is written through its own path, never redirected.
void RefuseWow64() {}
