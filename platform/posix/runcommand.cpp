// Runs a command text through a command interpreter, the way the C
// runtime's system() does on Windows: the interpreter named by COMSPEC gets
// "/c" and the text as it is.  The shell is never involved, because the
// text is written for the interpreter and a shell would read its
// backslashes, quotes and metacharacters differently.
#include "platform/platform.h"
#include "platform/posix/cmd/cmdline.h"
#include "platform/posix/confine.h"
#include "platform/posix/ntpath.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

static const char FallbackName[] = "cmd.exe";

// Only an executable regular file will do; a directory or a script without
// execute permission would fail to start, and that failure should move the
// search on rather than end it.
static bool IsRunnable(const std::string &path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    return access(path.c_str(), X_OK) == 0;
}

// The directory this program's file lies in, links resolved, or "".
static std::string OwnDirectory() {
    std::string path(256, '\0');
    for (;;) {
        ssize_t got = readlink("/proc/self/exe", &path[0], path.size());
        if (got < 0)
            return "";
        if (static_cast<size_t>(got) < path.size()) {
            path.resize(static_cast<size_t>(got));
            break;
        }
        path.resize(path.size() * 2);
    }
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

// Without COMSPEC the interpreter is the one installed with this program:
// beside it, as in a build directory, or in its private directory, which
// lies relative to this program's own (/usr/libexec/drvinst from
// /usr/sbin).  Neither the working directory nor PATH is searched: the
// working directory is the driver's media, someone else's files, and a
// cmd.exe there or on a PATH that lists "." would run as whoever installs,
// root as a rule.
static std::string FindFallback() {
    std::string own = OwnDirectory();
    if (own.empty())
        return "";
    for (const char *place : {"", DRVINST_HELPER_DIR "/"}) {
        std::string candidate = own + place + FallbackName;
        if (IsRunnable(candidate))
            return candidate;
    }
    return "";
}

// The interpreter to start, or "" when there is none.
static std::string FindInterpreter() {
    const char *comspec = getenv("COMSPEC");
    if (comspec != nullptr && comspec[0] != '\0') {
        std::string named = ResolveWindowsPath(comspec);
        if (IsRunnable(named))
            return named;
    }
    return FindFallback();
}

// Waits for the child, however often a signal interrupts the wait.
static bool WaitFor(pid_t pid, int *status) {
    while (waitpid(pid, status, 0) < 0) {
        if (errno != EINTR)
            return false;
    }
    return true;
}

static std::string LastComponent(const std::string &path) {
    size_t separator = path.find_last_of("/\\");
    return separator == std::string::npos ? path : path.substr(separator + 1);
}

static void Vet(const std::string &path) {
    TreePlace place;
    if (!FindPlace(path, false, &place) && !place.refusal.empty())
        EndRefused(path, place);
}

// Each path of the command that lies in the tree is looked up here first,
// as the interpreter will look it up, so that a tree which would lead the
// command outside itself is refused while nothing has been changed yet.
// A directory given as a target receives the file under the source's name.
static void VetPaths(const char *command) {
    Arguments arguments = SortArguments(SplitWords(command));
    for (size_t i = 0; i < arguments.paths.size(); i++) {
        const std::string &path = arguments.paths[i];
        Vet(path);
        TreePlace target;
        if (i > 0 && FindPlace(path, true, &target) && target.confined && target.exists &&
            S_ISDIR(target.st.st_mode))
            Vet(path + "\\" + LastComponent(arguments.paths[0]));
    }
}

int RunCommand(const char *command) {
    VetPaths(command);
    // The interpreter writes to the same output; whatever this process has
    // buffered must come out before it does.
    fflush(stdout);
    std::string interpreter = FindInterpreter();
    if (interpreter.empty())
        return -1;
    std::string slashC = "/c";
    std::string text = command;
    char *argv[] = {&interpreter[0], &slashC[0], &text[0], nullptr};
    pid_t pid;
    if (posix_spawn(&pid, interpreter.c_str(), nullptr, nullptr, argv, environ) != 0)
        return -1;
    int status = 0;
    if (!WaitFor(pid, &status))
        return -1;
    // An interpreter killed by a signal has no exit code, and the command
    // may have stopped half way.  -1 is the one result no command can exit
    // with, so it cannot be mistaken for the command's own status.
    if (!WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}
