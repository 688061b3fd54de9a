// CommandLine: `velmora [--home DIR] COMMAND [ARGS...]`, --home anywhere.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

struct CommandLine {
    std::string home;               // --home value, or empty
    std::string command;            // first word that is not an option
    std::vector<std::string> args;  // the rest, options other than --home included
    std::string error;              // set when the line cannot be understood

    static CommandLine Parse(int argc, char** argv);
    // Value of "--name VALUE" or "--name=VALUE" among args, removed when found.
    bool TakeOption(const std::string& name, std::string& value);
    // `velmora help`: every command, one or two lines each.
    static void PrintProgramUsage(std::ostream& out);
};
