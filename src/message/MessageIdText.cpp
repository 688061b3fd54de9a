// MessageIdText: generated Message-IDs.
#include "message/MessageIdText.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <random>

#include "platform/Registry.h"

std::string NewMessageId(const std::string& domain) {
    static std::atomic<unsigned> counter{0};
    static const unsigned long salt = std::random_device{}();
    std::string right = domain;
    if (right.empty()) right = SystemFullName();
    if (right.empty()) right = "localhost.localdomain";
    char left[96];
    std::snprintf(left, sizeof left, "%lld.%ld.%u.%08lx", static_cast<long long>(std::time(nullptr)),
                  static_cast<long>(::getpid()), counter.fetch_add(1), salt & 0xffffffffUL);
    return "<" + std::string(left) + "@" + right + ">";
}
