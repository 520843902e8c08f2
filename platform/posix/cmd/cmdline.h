// How a command text becomes a command name, switches and paths.
#ifndef DRVINST_CMD_CMDLINE_H
#define DRVINST_CMD_CMDLINE_H

#include <string>
#include <vector>

struct Word {
    std::string text;
    bool quoted = false; // some of it was inside double quotes
};

struct Arguments {
    std::string switches; // each switch's letter, upper case, in order
    std::vector<std::string> paths;
};

// The text after "/c": one argument as the tool passes it, or several that
// are joined with blanks.  False when the arguments do not start with /c.
bool CommandText(int argc, char **argv, std::string *text);

// The first character outside quotes that would ask for a pipe, a
// redirection or an escape, none of which this interpreter does; '\0' when
// there is none.
char FirstUnsupported(const std::string &text);

// Splits on blanks and tabs outside double quotes; the quotes are removed.
std::vector<Word> SplitWords(const std::string &text);

// Sorts the words after the command name into switches and paths.
Arguments SortArguments(const std::vector<Word> &words);

#endif
