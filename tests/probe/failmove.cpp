// Test-only (Windows): a command interpreter for COMSPEC that fails every
// "move" and hands everything else to the real one, so that the install's
// handling of a failed backup can be seen end to end.
#include <windows.h>

#include <cstdlib>
#include <cstring>

int main() {
    const char *line = GetCommandLineA();
    const char *text = strstr(line, "/c ");
    if (text == nullptr)
        return 2;
    text += 3;
    if (_strnicmp(text, "move ", 5) == 0)
        return 1;
    SetEnvironmentVariableA("COMSPEC", "C:\\windows\\system32\\cmd.exe");
    return system(text);
}
