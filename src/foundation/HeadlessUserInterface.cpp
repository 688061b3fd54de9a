// HeadlessUserInterface: log and stderr.
#include "foundation/HeadlessUserInterface.h"

#include <cstdio>

#include "foundation/CModuleLog.h"

void HeadlessUserInterface::MessageBox(const std::string& text, const std::string& caption) {
    g_moduleLog.Write(caption + ": " + text);
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
}
