// SqlTrusted: the identifier check behind Name.
#include "foundation/SqlTrusted.h"

std::optional<SqlTrusted> SqlTrusted::Name(std::string_view name) {
    if (name.empty() || (name[0] >= '0' && name[0] <= '9')) return std::nullopt;
    for (char c : name) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
        if (!plain) return std::nullopt;
    }
    return SqlTrusted(Checked{}, name);
}
