// SqlFormat: composing a checked format with its pieces.
#include "foundation/SqlFormat.h"

std::string sqlformat::Compose(const char* format, const std::string* pieces) {
    std::string out;
    for (const char* p = format; *p != '\0'; ++p) {
        if (*p != '%') {
            out += *p;
            continue;
        }
        ++p;
        if (*p == '%') {
            out += '%';
            continue;
        }
        // The format was checked when it was made: a conversion follows.
        while (*p == 'l' || *p == 'h' || *p == 'z') ++p;
        out += *pieces++;
    }
    return out;
}
