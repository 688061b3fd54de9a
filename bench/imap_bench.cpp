// IMAP benchmark: the real `velmora run` serving stored mail over loopback
// IMAP, and Dovecot's IMAP server on the same messages as the yardstick.
//   1. A fresh home with 8 accounts gets --messages (default 2,000) messages
//      of 4 KB over SMTP, spread evenly (untimed); the same bytes (each
//      stored ".mel" file) are written as unseen Maildir files for 8
//      Dovecot users.
//   2. Rounds (--rounds, default 1); in each, Velmora then Dovecot, each
//      started afresh, one untimed LOGIN + SELECT per account first (so that
//      neither pays for building its indexes in a phase), then three timed
//      phases with 8 concurrent sessions, one per account:
//        a. LOGIN, SELECT INBOX, FETCH 1:* (ENVELOPE);
//        b. FETCH 1:* BODY[] (the messages unseen before it);
//        c. STORE 1:* +FLAGS (\Seen) (unseen again before it, untimed);
//      each: messages per second and server CPU seconds per 1,000 messages
//      (user+system of the server's whole process tree, the children it
//      reaped included); then the medians and the ratios Velmora/Dovecot.
//   3. --idle connections (default 1,000) logged in, Inbox selected and in
//      IDLE against each server at once: the growth of the server's
//      proportional set size (its whole tree: Dovecot's imap and login
//      processes) divided by the connections.
//
// Dovecot: the installed package's binaries (scripts/install-deps) with a
// configuration of this program's own in the temporary directory, run as
// root of a user namespace (bench/e2e/DovecotBench, as pop3_bench).
// Until the IMAP server module is part of the program the Velmora half
// reports that nothing listens on its IMAP port and Dovecot runs alone.
//
//   imap_bench [--program PATH] [--dir DIR] [--messages N] [--rounds N]
//              [--idle N] [--skip-dovecot] [--skip-velmora] [--userns-base UID]
#include <sys/prctl.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "e2e/BenchHome.h"
#include "e2e/BenchOptions.h"
#include "e2e/BenchSupport.h"
#include "e2e/DovecotBench.h"
#include "e2e/ImapClient.h"
#include "e2e/RoundFigures.h"
#include "e2e/ServerProcess.h"
#include "e2e/StoredMail.h"

namespace {

using namespace bench;
using namespace std::chrono_literals;

constexpr int kUsers = 8;
constexpr std::size_t kSize = 4096;

struct Options {
    std::string program;
    std::string dir;
    int messages = 2000;
    int rounds = 1;
    int idle = 1000;
    bool skipDovecot = false;
    bool skipVelmora = false;
    unsigned long usernsBase = 1500000000;
};

bool Parse(int argc, char** argv, Options& o) {
    BenchOptions options;
    options.Flag("--skip-dovecot", o.skipDovecot);
    options.Flag("--skip-velmora", o.skipVelmora);
    options.Value("--messages", o.messages);
    options.Value("--rounds", o.rounds);
    options.Value("--idle", o.idle);
    options.Value("--userns-base", o.usernsBase);
    return options.Parse(argc, argv, o.program, o.dir) && o.messages >= kUsers && o.rounds > 0 && o.idle >= 0 &&
           o.usernsBase > 0;
}

std::string User(int u) {
    return "user" + std::to_string(u);
}

struct Phase {
    long messages = 0;
    int failedSessions = 0;
    double seconds = 0;
    double cpu = 0;
    double Rate() const { return seconds > 0 ? static_cast<double>(messages) / seconds : 0; }
    double CpuPer1000() const { return messages ? cpu * 1000.0 / static_cast<double>(messages) : 0; }
};

// One session per user, all at once, each running work on its own logged-in
// client with the Inbox selected (login and select timed when timeLogin),
// which returns the messages it handled or -1; the server's tree CPU over
// the whole of it.
Phase RunPhase(ServerProcess& server, int port, std::vector<std::unique_ptr<ImapClient>>& clients, bool timeLogin,
               const std::function<long(ImapClient&)>& work) {
    Phase phase;
    std::atomic<long> messages{0};
    std::atomic<int> failed{0};
    const auto login = [&](int u) {
        clients[static_cast<std::size_t>(u)] = std::make_unique<ImapClient>();
        ImapClient& c = *clients[static_cast<std::size_t>(u)];
        return c.Login(port, User(u), BenchHome::kPassword) && c.Select("INBOX") >= 0;
    };
    if (!timeLogin)
        for (int u = 0; u < kUsers; ++u)
            if (!clients[static_cast<std::size_t>(u)] && !login(u)) failed += 1;
    const double cpuBefore = server.TreeCpuSeconds();
    const auto start = Clock::now();
    std::vector<std::thread> sessions;
    for (int u = 0; u < kUsers; ++u)
        sessions.emplace_back([&, u] {
            if (timeLogin && !login(u)) {
                failed += 1;
                return;
            }
            const long handled = work(*clients[static_cast<std::size_t>(u)]);
            if (handled < 0)
                failed += 1;
            else
                messages += handled;
        });
    for (std::thread& t : sessions) t.join();
    phase.seconds = Seconds(start, Clock::now());
    phase.cpu = server.TreeCpuSeconds() - cpuBefore;
    phase.messages = messages.load();
    phase.failedSessions = failed.load();
    return phase;
}

// All users' messages unseen again, untimed.
bool Unsee(std::vector<std::unique_ptr<ImapClient>>& clients) {
    bool ok = true;
    for (auto& c : clients) ok = c && c->Command("STORE 1:* -FLAGS.SILENT (\\Seen)").ok && ok;
    return ok;
}

struct Peer {
    std::string name;
    int port = 0;
    std::function<bool(ServerProcess&)> start;
    std::function<std::string(ServerProcess&)> why;
    bool failed = false;
    double idleKb = -1;
};

const char* const kPhases[] = {"login+select+fetch envelope", "fetch body[]", "store +flags \\seen"};

void RunRound(Peer& peer, int number, long expected, RoundFigures& figures) {
    ServerProcess server;
    if (!peer.start(server) || !server.WaitAccepting(peer.port, 10s)) {
        std::cerr << "imap_bench: " << peer.name << " did not start:\n" << peer.why(server);
        peer.failed = true;
        return;
    }
    {
        // Untimed: every Inbox opened once.
        std::vector<std::unique_ptr<ImapClient>> warm(kUsers);
        const Phase w = RunPhase(server, peer.port, warm, true, [](ImapClient& c) { return c.Logout() ? 0L : -1L; });
        if (w.failedSessions) std::printf("  %s: %d sessions failed to log in\n", peer.name.c_str(), w.failedSessions);
    }
    std::vector<std::unique_ptr<ImapClient>> clients(kUsers);
    const std::function<long(ImapClient&)> work[] = {
        [](ImapClient& c) {
            const ImapClient::Reply r = c.Command("FETCH 1:* (ENVELOPE)");
            return r.ok ? r.fetches : -1L;
        },
        [](ImapClient& c) {
            const ImapClient::Reply r = c.Command("FETCH 1:* BODY[]");
            return r.ok && r.literalBytes > 0 ? r.fetches : -1L;
        },
        [](ImapClient& c) {
            const ImapClient::Reply r = c.Command("STORE 1:* +FLAGS (\\Seen)");
            return r.ok ? r.fetches : -1L;
        },
    };
    for (int p = 0; p < 3; ++p) {
        if (p > 0 && !Unsee(clients)) std::printf("  %s: resetting \\Seen failed\n", peer.name.c_str());
        const Phase r = RunPhase(server, peer.port, clients, p == 0, work[p]);
        std::printf("  round %d, %s, %-28s %ld messages in %.3f s = %8.0f msg/s; server CPU %.2f s = %.3f s per 1,000%s\n",
                    number, peer.name.c_str(), kPhases[p], r.messages, r.seconds, r.Rate(), r.cpu, r.CpuPer1000(),
                    r.failedSessions ? "  (SOME SESSIONS FAILED)" : "");
        if (r.messages != expected) {
            std::cerr << "imap_bench: " << peer.name << " handled " << r.messages << " of " << expected
                      << " messages in " << kPhases[p] << "\n"
                      << peer.why(server);
            peer.failed = true;
        }
        figures.Add(peer.name, "rate" + std::to_string(p), r.Rate());
        figures.Add(peer.name, "cpu" + std::to_string(p), r.CpuPer1000());
    }
    for (auto& c : clients)
        if (c) c->Logout();
    server.Stop();
}

// count sessions in IDLE at once; the server tree's PSS growth per session in kB.
double IdleMemory(Peer& peer, int count) {
    ServerProcess server;
    if (!peer.start(server) || !server.WaitAccepting(peer.port, 10s)) {
        std::cerr << "imap_bench: " << peer.name << " did not start:\n" << peer.why(server);
        return -1;
    }
    std::this_thread::sleep_for(500ms);  // the servers' own start-up settles first
    const long before = server.TreePssKb();
    std::vector<std::unique_ptr<ImapClient>> clients;
    int failed = 0;
    for (int i = 0; i < count; ++i) {
        auto c = std::make_unique<ImapClient>();
        if (c->Login(peer.port, User(i % kUsers), BenchHome::kPassword) && c->Select("INBOX") >= 0 && c->Idle())
            clients.push_back(std::move(c));
        else
            failed += 1;
    }
    std::this_thread::sleep_for(500ms);  // processes done forking and logging in
    const long after = server.TreePssKb();
    if (failed) std::printf("  %s: %d of %d sessions did not reach IDLE\n", peer.name.c_str(), failed, count);
    const std::size_t idle = clients.size();
    clients.clear();
    server.Stop();
    return idle ? static_cast<double>(after - before) / static_cast<double>(idle) : -1;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!Parse(argc, argv, o)) {
        std::cerr << "usage: imap_bench [--program PATH] [--dir DIR] [--messages N] [--rounds N] [--idle N]\n"
                     "                  [--skip-dovecot] [--skip-velmora] [--userns-base UID]\n";
        return 64;
    }
    // Servers' orphans come back here to be reaped.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
    // A thousand idle sessions: their descriptors here and, inherited, in the servers.
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
    BenchHome home;
    if (const std::string why = home.Create(o.program, o.dir, "imap"); !why.empty()) {
        std::cerr << "imap_bench: " << why << "\n";
        return 1;
    }
    const int smtpPort = FreePort();
    const int imapPort = FreePort();
    const long perUser = (o.messages + kUsers - 1) / kUsers;
    const long limitKb = std::max(10240L, perUser * static_cast<long>(kSize / 1024 + 2) * 2);
    std::vector<std::string> users;
    for (int u = 0; u < kUsers; ++u) users.push_back(User(u));
    // Only the ports under test: nothing else a neighbour might hold.
    bool ready = home.Setup() && home.SetDword("Ports", "SMTP Port", smtpPort) &&
                 home.SetDword("Ports", "Submission Port", 0) && home.SetDword("Ports", "SMTPS Port", 0) &&
                 home.SetDword("Ports", "POP3 Port", FreePort()) && home.SetDword("Ports", "POP3S Port", 0);
    for (int u = 0; ready && u < kUsers; ++u) ready = home.AddAccount(User(u), limitKb);
    if (!ready) {
        std::cerr << "imap_bench: the home could not be provisioned:\n" << home.CommandOutput();
        return 1;
    }
    // The IMAP settings exist once the module is part of the program.
    const bool imapSettings = home.SetDword("Ports", "IMAP Port", imapPort) &&
                              home.SetDword("Ports", "IMAPS Port", 0) &&
                              home.SetDword("Ports", "IMAP Max Sessions", o.idle + 100) &&
                              home.SetDword("Ports", "IMAP Sessions Per Client", o.idle + 100);

    Peer velmoraPeer;
    velmoraPeer.name = "velmora";
    velmoraPeer.port = imapPort;
    velmoraPeer.start = [&](ServerProcess& server) { return home.Start(server); };
    velmoraPeer.why = [](ServerProcess& server) { return server.Output(); };

    StoredMail stored;
    if (const std::string why = stored.Deliver(home, smtpPort, users, o.messages, kSize); !why.empty()) {
        std::cerr << "imap_bench: " << why;
        return 1;
    }

    std::vector<Peer*> peers;
    if (!o.skipVelmora) {
        ServerProcess server;
        if (!velmoraPeer.start(server)) {
            std::cerr << "imap_bench: velmora did not start:\n" << server.Output();
            return 1;
        }
        if (imapSettings && server.WaitAccepting(imapPort, 10s))
            peers.push_back(&velmoraPeer);
        else
            std::printf(
                "velmora: no IMAP listener on 127.0.0.1:%d (is IMAP_Server.so in the Servers list?); "
                "its half is skipped\n",
                imapPort);
        server.Stop();
    }

    Peer dovecotPeer;
    DovecotBench dovecot;
    if (!o.skipDovecot) {
        std::string why = dovecot.Prepare(home.Dir() + "/dovecot", users, BenchHome::kPassword, o.usernsBase, "imap");
        if (why.empty()) why = dovecot.Fill(stored.Files(), false);
        if (!why.empty()) {
            std::cerr << "imap_bench: Dovecot cannot run: " << why << "\n";
            return 1;
        }
        dovecotPeer.name = "dovecot";
        dovecotPeer.port = dovecot.Port();
        dovecotPeer.start = [&](ServerProcess& server) { return dovecot.Start(server); };
        dovecotPeer.why = [&](ServerProcess& server) { return dovecot.Why(server); };
        peers.push_back(&dovecotPeer);
    }
    if (peers.empty()) {
        std::printf("nothing to measure\n");
        return 1;
    }

    std::printf("IMAP: %d messages of %zu bytes, %d accounts, one session each, files on %s\n", o.messages, kSize,
                kUsers, FileSystemName(home.Dir()));
    if (!o.skipDovecot) std::printf("dovecot %s", dovecot.Version().c_str());
    RoundFigures figures;
    for (int round = 1; round <= o.rounds; ++round)
        for (Peer* peer : peers)
            if (!peer->failed) RunRound(*peer, round, o.messages, figures);

    std::printf("medians over %d round(s):\n", o.rounds);
    const bool both = peers.size() == 2 && !velmoraPeer.failed && !dovecotPeer.failed;
    for (int p = 0; p < 3; ++p) {
        const std::string rate = "rate" + std::to_string(p), cpu = "cpu" + std::to_string(p);
        for (const Peer* peer : peers)
            std::printf("  %-28s %-8s %8.0f msg/s  %.3f s CPU per 1,000 messages%s\n", kPhases[p], peer->name.c_str(),
                        figures.Median(peer->name, rate), figures.Median(peer->name, cpu),
                        peer->failed ? "  (FAILED)" : "");
        if (both)
            std::printf("  %-28s velmora/dovecot: rate %.2f, CPU per message %.2f\n", kPhases[p],
                        figures.Ratio(rate, "velmora", "dovecot"), figures.Ratio(cpu, "velmora", "dovecot"));
    }

    if (o.idle > 0) {
        std::printf("%d sessions in IDLE at once:\n", o.idle);
        for (Peer* peer : peers) {
            peer->idleKb = IdleMemory(*peer, o.idle);
            std::printf("  %-8s %8.1f kB per connection (server PSS growth / connections)\n", peer->name.c_str(),
                        peer->idleKb);
        }
    }
    return velmoraPeer.failed || dovecotPeer.failed ? 1 : 0;
}
