// A benchmark's command line, read in one pass.
#include "BenchOptions.h"

#include <cstdlib>

#include "BenchSupport.h"

namespace bench {

void BenchOptions::Flag(const std::string& name, bool& value) {
    options_.push_back({name, true, [&value](const char*) { value = true; }});
}

void BenchOptions::Value(const std::string& name, std::string& value) {
    options_.push_back({name, false, [&value](const char* v) { value = v; }});
}

void BenchOptions::Value(const std::string& name, int& value) {
    options_.push_back({name, false, [&value](const char* v) { value = std::atoi(v); }});
}

void BenchOptions::Value(const std::string& name, long& value) {
    options_.push_back({name, false, [&value](const char* v) { value = std::atol(v); }});
}

void BenchOptions::Value(const std::string& name, unsigned long& value) {
    options_.push_back({name, false, [&value](const char* v) { value = std::strtoul(v, nullptr, 10); }});
}

void BenchOptions::Value(const std::string& name, std::function<void(const char*)> use) {
    options_.push_back({name, false, std::move(use)});
}

bool BenchOptions::Parse(int argc, char** argv, std::string& program, std::string& dir, std::string* positional) {
    Value("--program", program);
    Value("--dir", dir);
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        bool known = false;
        for (const Option& o : options_) {
            if (o.name != a) continue;
            if (!o.flag && i + 1 >= argc) return false;
            o.use(o.flag ? nullptr : argv[++i]);
            known = true;
            break;
        }
        if (known) continue;
        if (positional && positional->empty() && !a.empty() && a[0] != '-')
            *positional = a;
        else
            return false;
    }
    if (program.empty()) program = ProgramNextToBenchmark();
    if (dir.empty()) dir = DefaultTempDir();
    return true;
}

}  // namespace bench
