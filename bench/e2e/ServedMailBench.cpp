// The POP3 and IMAP benchmarks' shared frame: home, mail, peers, timed
// sessions and the medians.
#include "ServedMailBench.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iostream>
#include <thread>
#include <utility>

#include "BenchSupport.h"

namespace bench {

using namespace std::chrono_literals;

ServedMailBench::ServedMailBench(std::string protocol, int rounds)
    : protocol_(std::move(protocol)), name_(protocol_ + "_bench") {
    options_.rounds = rounds;
}

bool ServedMailBench::Parse(int argc, char** argv, BenchOptions& options) {
    Options& o = options_;
    options.Flag("--skip-dovecot", o.skipDovecot);
    options.Flag("--skip-velmora", o.skipVelmora);
    options.Value("--messages", o.messages);
    options.Value("--rounds", o.rounds);
    options.Value("--userns-base", o.usernsBase);
    return options.Parse(argc, argv, o.program, o.dir) && o.messages >= kUsers && o.rounds > 0 && o.usernsBase > 0;
}

bool ServedMailBench::Provision() {
    if (const std::string why = home_.Create(options_.program, options_.dir, protocol_); !why.empty()) {
        Error() << why << "\n";
        return false;
    }
    smtpPort_ = FreePort();
    velmora_.name = "velmora";
    velmora_.port = FreePort();
    velmora_.start = [this](ServerProcess& server) { return home_.Start(server); };
    velmora_.why = [](ServerProcess& server) { return server.Output(); };
    // Only the ports under test: the other reading service takes a free
    // port, never its well-known one, which something else may hold.
    const int pop3Port = protocol_ == "pop3" ? velmora_.port : FreePort();
    const int imapPort = protocol_ == "imap" ? velmora_.port : FreePort();
    const long perUser = (options_.messages + kUsers - 1) / kUsers;
    const long limitKb = std::max(10240L, perUser * static_cast<long>(kSize / 1024 + 2) * 2);
    for (int u = 0; u < kUsers; ++u) users_.push_back(User(u));
    bool ready = home_.Setup() && home_.SetDword("Ports", "SMTP Port", smtpPort_) &&
                 home_.SetDword("Ports", "Submission Port", 0) && home_.SetDword("Ports", "SMTPS Port", 0) &&
                 home_.SetDword("Ports", "POP3 Port", pop3Port) && home_.SetDword("Ports", "POP3S Port", 0) &&
                 home_.SetDword("Ports", "IMAP Port", imapPort) && home_.SetDword("Ports", "IMAPS Port", 0);
    for (int u = 0; ready && u < kUsers; ++u) ready = home_.AddAccount(User(u), limitKb);
    if (!ready) Error() << "the home could not be provisioned:\n" << home_.CommandOutput();
    return ready;
}

bool ServedMailBench::ChoosePeers(bool velmoraConfigured, bool seen) {
    if (const std::string why = stored_.Deliver(home_, smtpPort_, users_, options_.messages, kSize); !why.empty()) {
        Error() << why;
        return false;
    }
    if (!options_.skipVelmora) {
        // The listener comes with the protocol's server module; without it
        // this half has nothing to measure.
        ServerProcess server;
        if (!velmora_.start(server)) {
            Error() << "velmora did not start:\n" << server.Output();
            return false;
        }
        if (velmoraConfigured && server.WaitAccepting(velmora_.port, 10s)) {
            peers_.push_back(&velmora_);
        } else {
            std::string upper = protocol_;
            std::transform(upper.begin(), upper.end(), upper.begin(),
                           [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
            std::printf(
                "velmora: no %s listener on 127.0.0.1:%d (is %s_Server.so in the Servers list?); "
                "its half is skipped\n",
                upper.c_str(), velmora_.port, upper.c_str());
        }
        server.Stop();
    }
    if (!options_.skipDovecot) {
        std::string why =
            dovecot_.Prepare(home_.Dir() + "/dovecot", users_, BenchHome::kPassword, options_.usernsBase, protocol_);
        if (why.empty()) why = dovecot_.Fill(stored_.Files(), seen);
        if (!why.empty()) {
            Error() << "Dovecot cannot run: " << why << "\n";
            return false;
        }
        dovecotPeer_.name = "dovecot";
        dovecotPeer_.port = dovecot_.Port();
        dovecotPeer_.start = [this](ServerProcess& server) { return dovecot_.Start(server); };
        dovecotPeer_.why = [this](ServerProcess& server) { return dovecot_.Why(server); };
        peers_.push_back(&dovecotPeer_);
    }
    if (peers_.empty()) {
        std::printf("nothing to measure\n");
        return false;
    }
    return true;
}

void ServedMailBench::PrintHeading(const std::string& title, const std::string& sessions) const {
    std::printf("%s: %d messages of %zu bytes, %d accounts, one session each%s, files on %s\n", title.c_str(),
                options_.messages, kSize, kUsers, sessions.c_str(), FileSystemName(home_.Dir()));
    if (!options_.skipDovecot) std::printf("dovecot %s", dovecot_.Version().c_str());
}

void ServedMailBench::RunRounds(int first, const std::function<void(Peer&, int, ServerProcess&)>& round) {
    for (int number = first; number <= options_.rounds; ++number)
        for (Peer* peer : peers_) {
            if (peer->failed) continue;
            ServerProcess server;
            if (Start(*peer, server))
                round(*peer, number, server);
            else
                peer->failed = true;
        }
}

bool ServedMailBench::Start(Peer& peer, ServerProcess& server) const {
    if (peer.start(server) && server.WaitAccepting(peer.port, 10s)) return true;
    Error() << peer.name << " did not start:\n" << peer.why(server);
    return false;
}

void ServedMailBench::Record(const Peer& peer, const std::string& key, const Pass& pass) {
    figures_.Add(peer.name, "rate" + key, pass.Rate());
    figures_.Add(peer.name, "cpu" + key, pass.CpuPer1000());
}

void ServedMailBench::PrintMedians(const std::string& label, const std::string& key) const {
    const std::string rate = "rate" + key, cpu = "cpu" + key;
    for (const Peer* peer : peers_)
        std::printf("  %s%-8s %8.0f msg/s  %.3f s CPU per 1,000 messages%s\n", label.c_str(), peer->name.c_str(),
                    figures_.Median(peer->name, rate), figures_.Median(peer->name, cpu),
                    peer->failed ? "  (FAILED)" : "");
    if (peers_.size() == 2 && !velmora_.failed && !dovecotPeer_.failed)
        std::printf("  %svelmora/dovecot: rate %.2f, CPU per message %.2f\n", label.c_str(),
                    figures_.Ratio(rate, "velmora", "dovecot"), figures_.Ratio(cpu, "velmora", "dovecot"));
}

int ServedMailBench::ExitCode() const {
    return velmora_.failed || dovecotPeer_.failed ? 1 : 0;
}

std::ostream& ServedMailBench::Error() const {
    return std::cerr << name_ << ": ";
}

std::string ServedMailBench::User(int u) {
    return "user" + std::to_string(u);
}

ServedMailBench::Pass ServedMailBench::RunSessions(ServerProcess& server,
                                                   const std::function<bool(int, std::atomic<long>&)>& session,
                                                   std::chrono::milliseconds settle) {
    Pass pass;
    std::atomic<long> messages{0};
    std::atomic<int> failed{0};
    const double cpuBefore = server.TreeCpuSeconds();
    const auto start = Clock::now();
    std::vector<std::thread> sessions;
    for (int u = 0; u < kUsers; ++u)
        sessions.emplace_back([&, u] {
            if (!session(u, messages)) failed += 1;
        });
    for (std::thread& t : sessions) t.join();
    pass.seconds = Seconds(start, Clock::now());
    if (settle.count() > 0) std::this_thread::sleep_for(settle);
    pass.cpu = server.TreeCpuSeconds() - cpuBefore;
    pass.messages = messages.load();
    pass.failedSessions = failed.load();
    return pass;
}

}  // namespace bench
