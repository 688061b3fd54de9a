// POP3 benchmark: the real `velmora run` serving stored mail over loopback
// POP3, and Dovecot's POP3 server on the same messages as the yardstick.
//   1. A fresh home with 8 accounts gets --messages (default 2,000) messages
//      of 4 KB over SMTP, spread evenly (untimed).
//   2. The same bytes (each stored ".mel" file) are written as Maildir files
//      for 8 Dovecot users.
//   3. Rounds alternate Velmora and Dovecot (--rounds, default 3): 8
//      concurrent POP3 sessions, one per account, each LIST then RETR of
//      every message (no DELE), timed from the first connection to the last
//      QUIT: messages per second and server CPU seconds per 1,000 messages
//      (user+system of the server's whole process tree, the children it
//      reaped included, over the retrieval); then the medians and the
//      ratios Velmora/Dovecot. Each server gets one untimed LIST pass first,
//      so that neither pays for building its indexes in a round.
//
// Dovecot: the installed package's binaries (scripts/install-deps) with a
// configuration of this program's own in the temporary directory, run as
// root of a user namespace (bench/e2e/DovecotBench: --userns-base, default
// 1500000000, when run as root, else the caller's /etc/subuid range).
//
// Until the POP3 server module is part of the program, the Velmora half
// reports that nothing listens on its POP3 port and the Dovecot half runs
// alone (as with --skip-velmora).
//
//   pop3_bench [--program PATH] [--dir DIR] [--messages N] [--rounds N]
//              [--skip-dovecot] [--skip-velmora] [--userns-base UID]
// Without --program the program is looked for next to this one. Everything
// is made in one directory under --dir (default $TMPDIR or /tmp), removed
// afterwards (E2E_BENCH_KEEP=1 keeps it).
#include <sys/prctl.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "e2e/BenchHome.h"
#include "e2e/BenchOptions.h"
#include "e2e/BenchSupport.h"
#include "e2e/DovecotBench.h"
#include "e2e/Pop3Client.h"
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
    int rounds = 3;
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
    options.Value("--userns-base", o.usernsBase);
    return options.Parse(argc, argv, o.program, o.dir) && o.messages >= kUsers && o.rounds > 0 && o.usernsBase > 0;
}

std::string User(int u) {
    return "user" + std::to_string(u);
}

struct Retrieval {
    long messages = 0;
    long bytes = 0;
    long sizeMismatches = 0;  // RETR gave other than LIST said
    int failedSessions = 0;
    double seconds = 0;
    double cpu = 0;
    double Rate() const { return seconds > 0 ? static_cast<double>(messages) / seconds : 0; }
    double CpuPer1000() const { return messages ? cpu * 1000.0 / static_cast<double>(messages) : 0; }
};

// One session per user, all at once: LIST, then RETR of each message when
// retrieve is set; the server's tree CPU over the whole of it.
Retrieval Retrieve(ServerProcess& server, int port, bool retrieve) {
    Retrieval r;
    std::atomic<long> messages{0}, bytes{0}, mismatches{0};
    std::atomic<int> failed{0};
    const double cpuBefore = server.TreeCpuSeconds();
    const auto start = Clock::now();
    std::vector<std::thread> sessions;
    for (int u = 0; u < kUsers; ++u)
        sessions.emplace_back([&, u] {
            Pop3Client client;
            std::vector<long> sizes;
            if (!client.Login(port, User(u), BenchHome::kPassword) || !client.List(sizes)) {
                failed += 1;
                return;
            }
            for (std::size_t n = 0; retrieve && n < sizes.size(); ++n) {
                const long got = client.Retrieve(static_cast<int>(n + 1));
                if (got < 0) {
                    failed += 1;
                    return;
                }
                messages += 1;
                bytes += got;
                if (got != sizes[n]) mismatches += 1;
            }
            if (!client.Quit()) failed += 1;
        });
    for (std::thread& t : sessions) t.join();
    r.seconds = Seconds(start, Clock::now());
    // The last sessions' processes are reaped (and counted) a moment after QUIT.
    std::this_thread::sleep_for(200ms);
    r.cpu = server.TreeCpuSeconds() - cpuBefore;
    r.messages = messages.load();
    r.bytes = bytes.load();
    r.sizeMismatches = mismatches.load();
    r.failedSessions = failed.load();
    return r;
}

// One server under test: how it starts and why it did not.
struct Peer {
    std::string name;
    int port = 0;
    std::function<bool(ServerProcess&)> start;
    std::function<std::string(ServerProcess&)> why;
    bool failed = false;
};

void RunRound(Peer& peer, int number, long expected, RoundFigures& figures) {
    ServerProcess server;
    if (!peer.start(server) || !server.WaitAccepting(peer.port, 10s)) {
        std::cerr << "pop3_bench: " << peer.name << " did not start:\n" << peer.why(server);
        peer.failed = true;
        return;
    }
    if (number == 0) {
        const Retrieval warm = Retrieve(server, peer.port, false);
        if (warm.failedSessions)
            std::printf("  %s: %d sessions failed to log in and list\n", peer.name.c_str(), warm.failedSessions);
        server.Stop();
        return;
    }
    const Retrieval r = Retrieve(server, peer.port, true);
    server.Stop();
    std::printf(
        "  round %d, %s: %ld messages (%ld bytes) in %.3f s = %.0f msg/s; server CPU %.2f s = %.3f s per "
        "1,000%s\n",
        number, peer.name.c_str(), r.messages, r.bytes, r.seconds, r.Rate(), r.cpu, r.CpuPer1000(),
        r.failedSessions ? "  (SOME SESSIONS FAILED)" : "");
    if (r.sizeMismatches) std::printf("    %ld messages differ in size from LIST\n", r.sizeMismatches);
    if (r.messages != expected) {
        std::cerr << "pop3_bench: " << peer.name << " gave " << r.messages << " of " << expected << " messages\n"
                  << peer.why(server);
        peer.failed = true;
    }
    figures.Add(peer.name, "rate", r.Rate());
    figures.Add(peer.name, "cpu", r.CpuPer1000());
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!Parse(argc, argv, o)) {
        std::cerr << "usage: pop3_bench [--program PATH] [--dir DIR] [--messages N] [--rounds N] [--skip-dovecot]\n"
                     "                  [--skip-velmora] [--userns-base UID]\n";
        return 64;
    }
    // Servers' orphans come back here to be reaped.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
    BenchHome home;
    if (const std::string why = home.Create(o.program, o.dir, "pop3"); !why.empty()) {
        std::cerr << "pop3_bench: " << why << "\n";
        return 1;
    }
    const int smtpPort = FreePort();
    const int pop3Port = FreePort();
    const long perUser = (o.messages + kUsers - 1) / kUsers;
    const long limitKb = std::max(10240L, perUser * static_cast<long>(kSize / 1024 + 2) * 2);
    std::vector<std::string> users;
    for (int u = 0; u < kUsers; ++u) users.push_back(User(u));
    // Only the ports under test: nothing else a neighbour might hold.
    bool ready = home.Setup() && home.SetDword("Ports", "SMTP Port", smtpPort) &&
                 home.SetDword("Ports", "Submission Port", 0) && home.SetDword("Ports", "SMTPS Port", 0) &&
                 home.SetDword("Ports", "POP3 Port", pop3Port) && home.SetDword("Ports", "POP3S Port", 0);
    for (int u = 0; ready && u < kUsers; ++u) ready = home.AddAccount(User(u), limitKb);
    if (!ready) {
        std::cerr << "pop3_bench: the home could not be provisioned:\n" << home.CommandOutput();
        return 1;
    }

    Peer velmoraPeer;
    velmoraPeer.name = "velmora";
    velmoraPeer.port = pop3Port;
    velmoraPeer.start = [&](ServerProcess& server) { return home.Start(server); };
    velmoraPeer.why = [](ServerProcess& server) { return server.Output(); };

    // ---- the messages, over SMTP, untimed ----
    StoredMail stored;
    if (const std::string why = stored.Deliver(home, smtpPort, users, o.messages, kSize); !why.empty()) {
        std::cerr << "pop3_bench: " << why;
        return 1;
    }
    const std::vector<std::vector<std::string>>& mail = stored.Files();

    std::vector<Peer*> peers;
    if (!o.skipVelmora) {
        // The POP3 listener comes with the POP3 server module; without it
        // this half has nothing to measure.
        ServerProcess server;
        if (!velmoraPeer.start(server)) {
            std::cerr << "pop3_bench: velmora did not start:\n" << server.Output();
            return 1;
        }
        if (server.WaitAccepting(pop3Port, 10s))
            peers.push_back(&velmoraPeer);
        else
            std::printf(
                "velmora: no POP3 listener on 127.0.0.1:%d (is POP3_Server.so in the Servers list?); "
                "its half is skipped\n",
                pop3Port);
        server.Stop();
    }

    Peer dovecotPeer;
    DovecotBench dovecot;
    if (!o.skipDovecot) {
        std::string why = dovecot.Prepare(home.Dir() + "/dovecot", users, BenchHome::kPassword, o.usernsBase);
        if (why.empty()) why = dovecot.Fill(mail);
        if (!why.empty()) {
            std::cerr << "pop3_bench: Dovecot cannot run: " << why << "\n";
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

    std::printf(
        "POP3 retrieval: %d messages of %zu bytes, %d accounts, one session each (LIST, RETR each), "
        "files on %s\n",
        o.messages, kSize, kUsers, FileSystemName(home.Dir()));
    if (!o.skipDovecot) std::printf("dovecot %s", dovecot.Version().c_str());
    RoundFigures figures;
    for (int round = 0; round <= o.rounds; ++round)
        for (Peer* peer : peers)
            if (!peer->failed) RunRound(*peer, round, o.messages, figures);

    std::printf("medians over %d rounds:\n", o.rounds);
    for (const Peer* peer : peers)
        std::printf("  %-8s %8.0f msg/s  %.3f s CPU per 1,000 messages%s\n", peer->name.c_str(),
                    figures.Median(peer->name, "rate"), figures.Median(peer->name, "cpu"),
                    peer->failed ? "  (FAILED)" : "");
    if (peers.size() == 2 && !velmoraPeer.failed && !dovecotPeer.failed)
        std::printf("  velmora/dovecot: rate %.2f, CPU per message %.2f\n", figures.Ratio("rate", "velmora", "dovecot"),
                    figures.Ratio("cpu", "velmora", "dovecot"));
    return velmoraPeer.failed || dovecotPeer.failed ? 1 : 0;
}
