// The benchmarks' mail delivered into a home over SMTP and listed per account.
#include "StoredMail.h"

#include <algorithm>
#include <chrono>
#include <filesystem>

#include "BenchSupport.h"
#include "MailBatch.h"
#include "ServerProcess.h"

namespace bench {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::string StoredMail::Deliver(const BenchHome& home, int smtpPort, const std::vector<std::string>& users,
                                long messages, std::size_t size) {
    const std::vector<std::string> inboxes = home.Inboxes(users);
    ServerProcess server;
    if (!home.Start(server) || !server.WaitAccepting(smtpPort, 30s)) return "velmora did not start:\n" + server.Output();
    MailBatch batch;
    batch.port = smtpPort;
    batch.messages = messages;
    batch.sessions = static_cast<int>(users.size());
    for (const std::string& user : users) batch.recipients.push_back(user + "@localhost");
    batch.make = [size](long m, const std::string& to) { return MakeMessage(size, to, "m" + std::to_string(m)); };
    const MailBatch::Result sent = batch.Send([&] { return CountFiles(inboxes, ".mel"); }, [] { return true; }, 50ms);
    server.Stop();
    const std::size_t stored = CountFiles(inboxes, ".mel");
    if (sent.failed || inboxes.size() != users.size() || stored != static_cast<std::size_t>(messages))
        return std::to_string(stored) + " of " + std::to_string(messages) + " messages in " +
               std::to_string(inboxes.size()) + " mailboxes were stored, " + std::to_string(sent.failed) +
               " sessions failed\n" + server.Output();
    files_.assign(users.size(), {});
    for (std::size_t u = 0; u < users.size(); ++u) {
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(inboxes[u], ec))
            if (e.path().extension() == ".mel") files_[u].push_back(e.path().string());
        std::sort(files_[u].begin(), files_[u].end());
    }
    return "";
}

}  // namespace bench
