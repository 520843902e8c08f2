#include "messages.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

void Note(const char *format, ...) {
    va_list args;
    va_start(args, format);
    fputs("cmd.exe: ", stderr);
    vfprintf(stderr, format, args);
    va_end(args);
}

void Complain(const char *command, const std::string &path, int err) {
    Note("%s: %s: %s\n", command, path.c_str(), strerror(err));
}
