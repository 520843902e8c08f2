// Every message of the tool goes to standard output through these.
#ifndef DRVINST_MESSAGES_H
#define DRVINST_MESSAGES_H

#include <string>

// printf into a string of whatever length the text needs.
std::string Format(const char *format, ...) __attribute__((format(printf, 1, 2)));

// An error or warning line, behind the "program driver : " prefix.
void Report(const char *format, ...) __attribute__((format(printf, 1, 2)));

// A line printed only in verbose mode, without prefix.
void Verbose(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Reports an error and ends the process with the status.
[[noreturn]] void Fail(int status, const char *format, ...) __attribute__((format(printf, 2, 3)));

#endif
