#include "platform/platform.h"

// The tool is single-threaded; one value stands for its one thread.
static DWORD lastError = ERROR_SUCCESS;

DWORD GetLastError() {
    return lastError;
}

void SetLastError(DWORD error) {
    lastError = error;
}
