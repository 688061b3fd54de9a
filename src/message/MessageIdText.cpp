// MessageIdText: generated Message-IDs.
#include "message/MessageIdText.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <random>

#include "foundation/COwnNames.h"

std::string NewMessageId(const std::string& domain) {
    static std::atomic<unsigned> counter{0};
    static const unsigned long salt = std::random_device{}();
    std::string right = domain;
    if (right.empty()) right = COwnNames::Domain();
    if (right.empty()) right = "localhost.localdomain";
    char left[96];
    std::snprintf(left, sizeof left, "%lld.%ld.%u.%08lx", static_cast<long long>(std::time(nullptr)),
                  static_cast<long>(::getpid()), counter.fetch_add(1), salt & 0xffffffffUL);
    return "<" + std::string(left) + "@" + right + ">";
}

void ForEachMessageId(std::string_view value, const std::function<void(std::string_view)>& found) {
    std::size_t at = 0;
    while ((at = value.find('<', at)) != std::string_view::npos) {
        const std::size_t end = value.find_first_of("<>", at + 1);
        if (end == std::string_view::npos) return;
        if (value[end] == '<') {
            at = end;  // an unclosed "<": the next one may open an identifier
            continue;
        }
        const std::string_view id = value.substr(at, end - at + 1);
        const std::string_view inner = id.substr(1, id.size() - 2);
        const std::size_t sign = inner.find('@');
        const bool printable = std::all_of(inner.begin(), inner.end(), [](char c) { return c > ' ' && c < 127; });
        if (id.size() <= kMaxMessageIdBytes && printable && sign != 0 && sign != std::string_view::npos &&
            sign + 1 < inner.size() && inner.find('@', sign + 1) == std::string_view::npos)
            found(id);
        at = end + 1;
    }
}
