// A benchmark's command line: the flags and valued options it takes, each
// bound to the variable it sets, read in one pass; --program and --dir get
// their defaults (the program next to the benchmark, $TMPDIR or /tmp).
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace bench {

class BenchOptions {
public:
    void Flag(const std::string& name, bool& value);
    void Value(const std::string& name, std::string& value);
    void Value(const std::string& name, int& value);
    void Value(const std::string& name, long& value);
    void Value(const std::string& name, unsigned long& value);
    // Any other use of the option's text.
    void Value(const std::string& name, std::function<void(const char*)> use);

    // Reads the arguments; a bare argument goes to positional when given
    // (once). False on anything else not known or a value missing. Empty
    // program and dir get their defaults afterwards.
    bool Parse(int argc, char** argv, std::string& program, std::string& dir, std::string* positional = nullptr);

private:
    struct Option {
        std::string name;
        bool flag = false;
        std::function<void(const char*)> use;
    };
    std::vector<Option> options_;
};

}  // namespace bench
