// Fuzz target: Connect.stg as the server and the shell read it.
//
// Besides memory safety it checks that whatever was read writes a file that
// reads back whole to the same settings (a password loses only NUL bytes,
// which the scrambled form cannot carry), and that a file written from
// those reads back to the same bytes.
#include "cycle/CConnectionSettings.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "FuzzFiles.h"

namespace {

bool Same(const CConnectionSettings& a, const CConnectionSettings& b) {
    return a.method == b.method && a.entryName == b.entryName && a.userName == b.userName && a.retries == b.retries &&
           a.interval == b.interval;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CConnectionSettings settings;
    settings.Load(fuzzfiles::WriteInput(data, size));

    const std::string written = settings.Serialize();
    CConnectionSettings again;
    if (!again.Parse(written)) std::abort();
    std::string password = settings.password;
    std::erase(password, '\0');
    if (!Same(again, settings) || again.password != password) std::abort();
    if (again.Serialize() != written && settings.password == password) std::abort();
    return 0;
}
