#include "cmdline.h"

#include <cctype>
#include <cstring>
#include <strings.h>

bool CommandText(int argc, char **argv, std::string *text) {
    if (argc < 2 || strcasecmp(argv[1], "/c") != 0)
        return false;
    text->clear();
    for (int i = 2; i < argc; i++) {
        if (i > 2)
            *text += ' ';
        *text += argv[i];
    }
    return true;
}

char FirstUnsupported(const std::string &text) {
    bool inQuotes = false;
    for (char c : text) {
        if (c == '"')
            inQuotes = !inQuotes;
        else if (!inQuotes && strchr("&|<>^", c) != nullptr)
            return c;
    }
    return '\0';
}

// An unterminated quote runs to the end of the text, as it does for the
// interpreter the tool uses on Windows.
std::vector<Word> SplitWords(const std::string &text) {
    std::vector<Word> words;
    Word word;
    bool inWord = false;
    bool inQuotes = false;
    for (char c : text) {
        if (!inQuotes && (c == ' ' || c == '\t')) {
            if (inWord)
                words.push_back(word);
            word = Word();
            inWord = false;
            continue;
        }
        inWord = true;
        if (c == '"') {
            inQuotes = !inQuotes;
            word.quoted = true;
        } else {
            word.text += c;
        }
    }
    if (inWord)
        words.push_back(word);
    return words;
}

// Our paths are absolute POSIX paths and so begin with "/" as switches do.
// Only an unquoted "/" and a single character is taken for a switch; a path
// that short can still be given in quotes.
static bool IsSwitch(const Word &word) {
    return !word.quoted && word.text.size() == 2 && word.text[0] == '/';
}

Arguments SortArguments(const std::vector<Word> &words) {
    Arguments arguments;
    for (size_t i = 1; i < words.size(); i++) {
        if (IsSwitch(words[i]))
            arguments.switches += static_cast<char>(toupper((unsigned char)words[i].text[1]));
        else
            arguments.paths.push_back(words[i].text);
    }
    return arguments;
}
