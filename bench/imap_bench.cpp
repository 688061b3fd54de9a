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
#include "e2e/ImapClient.h"
#include "e2e/ServedMailBench.h"
#include "e2e/ServerProcess.h"

namespace {

using namespace bench;
using namespace std::chrono_literals;

using Peer = ServedMailBench::Peer;
using Pass = ServedMailBench::Pass;
constexpr int kUsers = ServedMailBench::kUsers;

// One session per user, all at once, each running work on its own logged-in
// client with the Inbox selected (login and select timed when timeLogin),
// which returns the messages it handled or -1; the server's tree CPU over
// the whole of it.
Pass RunPhase(ServerProcess& server, int port, std::vector<std::unique_ptr<ImapClient>>& clients, bool timeLogin,
              const std::function<long(ImapClient&)>& work) {
    const auto login = [&](int u) {
        clients[static_cast<std::size_t>(u)] = std::make_unique<ImapClient>();
        ImapClient& c = *clients[static_cast<std::size_t>(u)];
        return c.Login(port, ServedMailBench::User(u), BenchHome::kPassword) && c.Select("INBOX") >= 0;
    };
    int failed = 0;
    if (!timeLogin)
        for (int u = 0; u < kUsers; ++u)
            if (!clients[static_cast<std::size_t>(u)] && !login(u)) failed += 1;
    Pass phase = ServedMailBench::RunSessions(server, [&](int u, std::atomic<long>& messages) {
        if (timeLogin && !login(u)) return false;
        const long handled = work(*clients[static_cast<std::size_t>(u)]);
        if (handled < 0) return false;
        messages += handled;
        return true;
    });
    phase.failedSessions += failed;
    return phase;
}

// All users' messages unseen again, untimed.
bool Unsee(std::vector<std::unique_ptr<ImapClient>>& clients) {
    bool ok = true;
    for (auto& c : clients) ok = c && c->Command("STORE 1:* -FLAGS.SILENT (\\Seen)").ok && ok;
    return ok;
}

const char* const kPhases[] = {"login+select+fetch envelope", "fetch body[]", "store +flags \\seen"};

void RunRound(ServedMailBench& bench, Peer& peer, int number, ServerProcess& server) {
    {
        // Untimed: every Inbox opened once.
        std::vector<std::unique_ptr<ImapClient>> warm(kUsers);
        const Pass w = RunPhase(server, peer.port, warm, true, [](ImapClient& c) { return c.Logout() ? 0L : -1L; });
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
    const long expected = bench.Args().messages;
    for (int p = 0; p < 3; ++p) {
        if (p > 0 && !Unsee(clients)) std::printf("  %s: resetting \\Seen failed\n", peer.name.c_str());
        const Pass r = RunPhase(server, peer.port, clients, p == 0, work[p]);
        std::printf(
            "  round %d, %s, %-28s %ld messages in %.3f s = %8.0f msg/s; server CPU %.2f s = %.3f s per 1,000%s\n",
            number, peer.name.c_str(), kPhases[p], r.messages, r.seconds, r.Rate(), r.cpu, r.CpuPer1000(),
            r.failedSessions ? "  (SOME SESSIONS FAILED)" : "");
        if (r.messages != expected) {
            bench.Error() << peer.name << " handled " << r.messages << " of " << expected << " messages in "
                          << kPhases[p] << "\n"
                          << peer.why(server);
            peer.failed = true;
        }
        bench.Record(peer, std::to_string(p), r);
    }
    for (auto& c : clients)
        if (c) c->Logout();
    server.Stop();
}

// count sessions in IDLE at once; the server tree's PSS growth per session in kB.
double IdleMemory(const ServedMailBench& bench, Peer& peer, int count) {
    ServerProcess server;
    if (!bench.Start(peer, server)) return -1;
    std::this_thread::sleep_for(500ms);  // the servers' own start-up settles first
    const long before = server.TreePssKb();
    std::vector<std::unique_ptr<ImapClient>> clients;
    int failed = 0;
    for (int i = 0; i < count; ++i) {
        auto c = std::make_unique<ImapClient>();
        if (c->Login(peer.port, ServedMailBench::User(i % kUsers), BenchHome::kPassword) && c->Select("INBOX") >= 0 &&
            c->Idle())
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
    ServedMailBench bench("imap", 1);
    BenchOptions options;
    int idle = 1000;
    options.Value("--idle", idle);
    if (!bench.Parse(argc, argv, options) || idle < 0) {
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
    if (!bench.Provision()) return 1;
    // The IMAP settings exist once the module is part of the program.
    BenchHome& home = bench.Home();
    const bool imapSettings = home.SetDword("Ports", "IMAP Port", bench.VelmoraPort()) &&
                              home.SetDword("Ports", "IMAPS Port", 0) &&
                              home.SetDword("Ports", "IMAP Max Sessions", idle + 100) &&
                              home.SetDword("Ports", "IMAP Sessions Per Client", idle + 100);
    if (!bench.ChoosePeers(imapSettings, false)) return 1;

    bench.PrintHeading("IMAP", "");
    bench.RunRounds(1, [&](Peer& peer, int round, ServerProcess& server) { RunRound(bench, peer, round, server); });

    std::printf("medians over %d round(s):\n", bench.Args().rounds);
    for (int p = 0; p < 3; ++p) {
        char label[40];
        std::snprintf(label, sizeof label, "%-28s ", kPhases[p]);
        bench.PrintMedians(label, std::to_string(p));
    }

    if (idle > 0) {
        std::printf("%d sessions in IDLE at once:\n", idle);
        for (Peer* peer : bench.Peers())
            std::printf("  %-8s %8.1f kB per connection (server PSS growth / connections)\n", peer->name.c_str(),
                        IdleMemory(bench, *peer, idle));
    }
    return bench.ExitCode();
}
