// CommandLine: parsing of the program's arguments.
#include "app/CommandLine.h"

CommandLine CommandLine::Parse(int argc, char** argv) {
    CommandLine line;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--home") {
            if (i + 1 >= argc) {
                line.error = "--home needs a directory";
                return line;
            }
            line.home = argv[++i];
        } else if (arg.rfind("--home=", 0) == 0) {
            line.home = arg.substr(7);
        } else if (line.command.empty() && !arg.empty() && arg[0] != '-') {
            line.command = arg;
        } else {
            line.args.push_back(arg);
        }
    }
    return line;
}

bool CommandLine::TakeOption(const std::string& name, std::string& value) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == name && i + 1 < args.size()) {
            value = args[i + 1];
            args.erase(args.begin() + static_cast<std::ptrdiff_t>(i),
                       args.begin() + static_cast<std::ptrdiff_t>(i) + 2);
            return true;
        }
        if (args[i].rfind(name + "=", 0) == 0) {
            value = args[i].substr(name.size() + 1);
            args.erase(args.begin() + static_cast<std::ptrdiff_t>(i));
            return true;
        }
    }
    return false;
}
