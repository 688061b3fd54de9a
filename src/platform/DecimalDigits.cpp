// DecimalDigits: digits only, bounded so the sum cannot overflow.
#include "platform/DecimalDigits.h"

bool ParseDecimalDigits(std::string_view text, std::size_t maxDigits, unsigned long long& value) {
    if (text.empty() || text.size() > maxDigits || text.size() > 19) return false;
    unsigned long long n = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + static_cast<unsigned long long>(c - '0');
    }
    value = n;
    return true;
}
