#include "platform/platform.h"

#include <cstdio>

void RefuseWow64() {
#ifndef _WIN64
    // Looked up at run time: the oldest 32-bit systems do not have it, and
    // they are never 64-bit Windows.
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    FARPROC found = kernel ? GetProcAddress(kernel, "IsWow64Process") : nullptr;
    if (!found)
        return;
    using IsWow64ProcessCall = BOOL(WINAPI *)(HANDLE, PBOOL);
    auto isWow64Process = reinterpret_cast<IsWow64ProcessCall>(reinterpret_cast<void (*)()>(found));
    BOOL wow64 = FALSE;
    // A call that fails tells nothing, and the tool runs as it always has.
    if (!isWow64Process(GetCurrentProcess(), &wow64) || !wow64)
        return;
    printf("This 32-bit drvinst.exe cannot install drivers on 64-bit Windows; "
           "run the 64-bit drvinst.exe instead.\n");
    EndProcess(1);
#endif
}
