// Test-only (Windows): a command interpreter for COMSPEC that fails every
// "move" (or every command FAIL_VERB names) and hands everything else to
// the real one, so that the install's handling of a failed step can be
// seen end to end.
#include <windows.h>

#include <cstdlib>
#include <cstring>

int main() {
    const char *line = GetCommandLineA();
    const char *text = strstr(line, "/c ");
    const char *verb = getenv("FAIL_VERB") ? getenv("FAIL_VERB") : "move";
    if (text == nullptr)
        return 2;
    text += 3;
    if (_strnicmp(text, verb, strlen(verb)) == 0 && text[strlen(verb)] == ' ')
        return 1;
    SetEnvironmentVariableA("COMSPEC", "C:\\windows\\system32\\cmd.exe");
    return system(text);
}
