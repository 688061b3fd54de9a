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

#include <atomic>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "e2e/BenchHome.h"
#include "e2e/BenchOptions.h"
#include "e2e/Pop3Client.h"
#include "e2e/ServedMailBench.h"
#include "e2e/ServerProcess.h"

namespace {

using namespace bench;
using namespace std::chrono_literals;

using Peer = ServedMailBench::Peer;

struct Retrieval : ServedMailBench::Pass {
    long bytes = 0;
    long sizeMismatches = 0;  // RETR gave other than LIST said
};

// One session per user, all at once: LIST, then RETR of each message when
// retrieve is set; the server's tree CPU over the whole of it.
Retrieval Retrieve(ServerProcess& server, int port, bool retrieve) {
    std::atomic<long> bytes{0}, mismatches{0};
    Retrieval r;
    const auto session = [&](int u, std::atomic<long>& messages) {
        Pop3Client client;
        std::vector<long> sizes;
        if (!client.Login(port, ServedMailBench::User(u), BenchHome::kPassword) || !client.List(sizes)) return false;
        for (std::size_t n = 0; retrieve && n < sizes.size(); ++n) {
            const long got = client.Retrieve(static_cast<int>(n + 1));
            if (got < 0) return false;
            messages += 1;
            bytes += got;
            if (got != sizes[n]) mismatches += 1;
        }
        return client.Quit();
    };
    // The last sessions' processes are reaped (and counted) a moment after QUIT.
    static_cast<ServedMailBench::Pass&>(r) = ServedMailBench::RunSessions(server, session, 200ms);
    r.bytes = bytes.load();
    r.sizeMismatches = mismatches.load();
    return r;
}

void RunRound(ServedMailBench& bench, Peer& peer, int number, ServerProcess& server) {
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
    const long expected = bench.Args().messages;
    if (r.messages != expected) {
        bench.Error() << peer.name << " gave " << r.messages << " of " << expected << " messages\n" << peer.why(server);
        peer.failed = true;
    }
    bench.Record(peer, "", r);
}

}  // namespace

int main(int argc, char** argv) {
    ServedMailBench bench("pop3", 3);
    BenchOptions options;
    if (!bench.Parse(argc, argv, options)) {
        std::cerr << "usage: pop3_bench [--program PATH] [--dir DIR] [--messages N] [--rounds N] [--skip-dovecot]\n"
                     "                  [--skip-velmora] [--userns-base UID]\n";
        return 64;
    }
    // Servers' orphans come back here to be reaped.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
    if (!bench.Provision() || !bench.ChoosePeers(true, true)) return 1;

    bench.PrintHeading("POP3 retrieval", " (LIST, RETR each)");
    // Round 0 is each server's untimed LIST pass.
    bench.RunRounds(0, [&](Peer& peer, int round, ServerProcess& server) { RunRound(bench, peer, round, server); });

    std::printf("medians over %d rounds:\n", bench.Args().rounds);
    bench.PrintMedians("", "");
    return bench.ExitCode();
}
