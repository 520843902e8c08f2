#include "front/messages.h"
#include "front/state.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

static std::string FormatList(const char *format, va_list args) {
    va_list again;
    va_copy(again, args);
    int length = vsnprintf(nullptr, 0, format, args);
    std::string text;
    if (length > 0) {
        std::vector<char> buffer(static_cast<size_t>(length) + 1);
        vsnprintf(buffer.data(), buffer.size(), format, again);
        text.assign(buffer.data(), static_cast<size_t>(length));
    }
    va_end(again);
    return text;
}

std::string Format(const char *format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = FormatList(format, args);
    va_end(args);
    return text;
}

static void ReportList(const char *format, va_list args) {
    printf("%s %s : ", state.programName.c_str(), state.driverName.c_str());
    fputs(FormatList(format, args).c_str(), stdout);
}

void Report(const char *format, ...) {
    va_list args;
    va_start(args, format);
    ReportList(format, args);
    va_end(args);
}

void Verbose(const char *format, ...) {
    if (!state.verboseFlag)
        return;
    va_list args;
    va_start(args, format);
    fputs(FormatList(format, args).c_str(), stdout);
    va_end(args);
}

void Fail(int status, const char *format, ...) {
    va_list args;
    va_start(args, format);
    ReportList(format, args);
    va_end(args);
    EndProcess(status);
}
