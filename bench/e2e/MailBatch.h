// One batch of mail sent over loopback SMTP by concurrent sessions, and the
// wait until the receiving server has delivered it: message m goes to
// recipients[m % n] in session m % sessions, pipelined one transaction at a
// time, and the figures say when the last 250 came and when the last
// message was delivered.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

class TlsContext;

namespace bench {

class MailBatch {
public:
    struct Result {
        long accepted = 0;
        long failed = 0;  // sessions that broke off
        double acceptSeconds = 0;
        std::size_t delivered = 0;
        double deliverSeconds = 0;
    };

    int port = 0;
    long messages = 0;
    int sessions = 0;
    std::vector<std::string> recipients;
    // One finished (dot-stuffed) text per recipient, made before the clock
    // runs; when empty, make(m, recipient) makes each message as it goes.
    std::vector<std::string> texts;
    std::function<std::string(long, const std::string&)> make;
    // When set, every session goes through STARTTLS with this client context.
    const TlsContext* tls = nullptr;

    // Sends the batch and waits (bounded) until delivered() has grown by
    // every accepted message and settled() holds, looking every poll.
    Result Send(const std::function<std::size_t()>& delivered, const std::function<bool()>& settled,
                std::chrono::milliseconds poll) const;
};

}  // namespace bench
