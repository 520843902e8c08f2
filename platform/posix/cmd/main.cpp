// A small command interpreter for the offline build.  It knows just the
// commands the tool runs, reads their paths as the tool writes them, with
// "\" separators and case-insensitive names, and makes every change durable
// before it reports success.
#include "cmdline.h"
#include "commands.h"
#include "messages.h"

#include <cstddef>
#include <cstdint>
#include <strings.h>

namespace {

struct Command {
    const char *name;
    const char *switches; // the switch letters it accepts
    size_t minPaths;
    size_t maxPaths;
    int (*run)(const Arguments &);
};

// /Y is accepted where it means "replace without asking", which is all these
// commands ever do.
const Command commands[] = {
    {"copy", "Y", 1, 2, CopyCommand},
    {"del", "F", 1, SIZE_MAX, DelCommand},
    {"erase", "F", 1, SIZE_MAX, DelCommand},
    {"move", "Y", 2, 2, MoveCommand},
};

const Command *FindCommand(const std::string &name) {
    for (const Command &command : commands) {
        if (strcasecmp(command.name, name.c_str()) == 0)
            return &command;
    }
    return nullptr;
}

bool ArgumentsFit(const Command &command, const Arguments &arguments) {
    for (char letter : arguments.switches) {
        if (std::string(command.switches).find(letter) == std::string::npos) {
            Note("Invalid switch - /%c\n", letter);
            return false;
        }
    }
    size_t count = arguments.paths.size();
    if (count < command.minPaths || count > command.maxPaths) {
        Note("The syntax of the command is incorrect.\n");
        return false;
    }
    return true;
}

int Interpret(const std::string &text) {
    if (char c = FirstUnsupported(text)) {
        Note("'%c' outside quotes is not supported here.\n", c);
        return 1;
    }
    std::vector<Word> words = SplitWords(text);
    if (words.empty())
        return 0;
    const Command *command = FindCommand(words[0].text);
    if (command == nullptr) {
        Note("'%s' is not recognized as an internal or external command, operable program or "
             "batch file.\n",
             words[0].text.c_str());
        return 1;
    }
    Arguments arguments = SortArguments(words);
    return ArgumentsFit(*command, arguments) ? command->run(arguments) : 1;
}

} // namespace

int main(int argc, char **argv) {
    std::string text;
    if (!CommandText(argc, argv, &text)) {
        Note("usage: %s /c command\n", argc > 0 ? argv[0] : "cmd.exe");
        return 1;
    }
    return Interpret(text);
}
