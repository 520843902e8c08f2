#include "front/front.h"
#include "front/messages.h"
#include "front/state.h"
#include "platform/platform.h"

#include <string>
#include <vector>

// The working directory, whatever its length; empty when it cannot be read.
static std::string WorkingDirectory() {
    std::vector<char> buffer(256);
    DWORD length = GetCurrentDirectoryA(static_cast<DWORD>(buffer.size()), buffer.data());
    if (length >= buffer.size()) {
        buffer.resize(length);
        length = GetCurrentDirectoryA(static_cast<DWORD>(buffer.size()), buffer.data());
        if (length >= buffer.size())
            length = 0;
    }
    return std::string(buffer.data(), length);
}

static bool IsAbsolute(const std::string &directory) {
    return (!directory.empty() && directory[0] == '\\') ||
           (directory.size() > 1 && directory[1] == ':');
}

// The driver file is looked for where the tool was started from, as typed:
// the directory part of argument 0, taken from the working directory when
// it is relative.  Only ":" and "\" separate; "/" is part of a name.
void SetSourceDirectory(const char *programPath) {
    std::string path = programPath;
    size_t separator = path.find_last_of(":\\");
    std::string directory;
    if (separator == std::string::npos) {
        state.programName = path;
    } else {
        state.programName = path.substr(separator + 1);
        directory = path.substr(0, separator + 1);
    }
    if (IsAbsolute(directory)) {
        state.sourceDirectory = directory;
    } else {
        state.currentDirectory = WorkingDirectory();
        state.sourceDirectory = state.currentDirectory + "\\" + directory;
    }
    Verbose("Source directory %s\n", state.sourceDirectory.c_str());
}
