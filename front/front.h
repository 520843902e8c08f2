// The command front end: options, usage, source directory, run sequence.
#ifndef DRVINST_FRONT_H
#define DRVINST_FRONT_H

[[noreturn]] void Usage();
void ScanOptions(int argc, char **argv);
void SetSourceDirectory(const char *programPath);
[[noreturn]] void RunInstaller(int argc, char **argv);

#endif
