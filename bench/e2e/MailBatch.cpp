// One batch of mail over loopback SMTP, and the wait for its delivery.
#include "MailBatch.h"

#include <atomic>
#include <thread>

#include "BenchSupport.h"
#include "SmtpClient.h"

namespace bench {

using namespace std::chrono_literals;

MailBatch::Result MailBatch::Send(const std::function<std::size_t()>& delivered, const std::function<bool()>& settled,
                                  std::chrono::milliseconds poll) const {
    const std::size_t before = delivered();
    std::atomic<long> accepted{0}, failed{0};
    std::atomic<long long> lastAcceptNs{0};
    const auto start = Clock::now();
    std::vector<std::thread> senders;
    for (int s = 0; s < sessions; ++s) {
        senders.emplace_back([&, s] {
            SmtpClient client;
            if (!client.Connect(port, tls)) {
                failed += 1;
                return;
            }
            for (long m = s; m < messages; m += sessions) {
                const std::size_t r = static_cast<std::size_t>(m) % recipients.size();
                const bool sent = texts.empty()
                                      ? client.SendMail("bench@localhost", recipients[r], make(m, recipients[r]))
                                      : client.SendMail("bench@localhost", recipients[r], texts[r]);
                if (!sent) {
                    failed += 1;
                    return;
                }
                accepted += 1;
                const long long ns = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
                for (long long seen = lastAcceptNs.load();
                     ns > seen && !lastAcceptNs.compare_exchange_weak(seen, ns);) {
                }
            }
            client.Send("QUIT\r\n");
        });
    }
    for (std::thread& t : senders) t.join();
    Result result;
    result.accepted = accepted.load();
    result.failed = failed.load();
    result.acceptSeconds = std::chrono::duration<double>(std::chrono::nanoseconds(lastAcceptNs.load())).count();
    const auto until = Clock::now() + 600s;
    while ((result.delivered = delivered() - before) < static_cast<std::size_t>(result.accepted) &&
           Clock::now() < until)
        std::this_thread::sleep_for(poll);
    result.deliverSeconds = Seconds(start, Clock::now());
    while (!settled() && Clock::now() < until) std::this_thread::sleep_for(poll);
    return result;
}

}  // namespace bench
