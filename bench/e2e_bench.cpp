// End-to-end benchmark: the real `velmora run` on a fresh home, fed over
// loopback SMTP, and Postfix on the same work as the yardstick.
//   1. 2,000 messages of 4 KB over 8 concurrent sessions (pipelined
//      MAIL/RCPT/DATA) to 10 local accounts, in rounds that alternate
//      Velmora and Postfix (V, P, V, P, ...; --rounds, default 3): accepted
//      messages per second (until the last 250), delivered messages per
//      second (until the last ".mel" file exists; for Postfix until the last
//      file is in a Maildir's new/), CPU seconds per 1,000 messages, memory;
//      then the medians and the ratios Velmora/Postfix.
//      Each round also sends the same batch to Velmora with every session
//      going through STARTTLS first (the self-signed certificate `velmora
//      setup` makes; the client checks nothing), the plain and the TLS
//      batch taking turns going first (V, V+TLS, P, V+TLS, V, P, ...); the
//      cost of TLS is the ratio TLS/plain of the rate and of the CPU per
//      1,000 messages (--skip-tls leaves these rounds out).
//   2. Each server's system calls over the same work (strace -C -f -y
//      attached to every process of it; untimed): the top calls, the
//      per-message counts of syncs (and what each was made on), renames and
//      links, file locks and all calls.
//   3. One 50 MB message to a fresh Velmora: time to its 250, time until it
//      is in the mailbox, and that server's peak resident memory.
// A 250 means the message is on stable storage, so the figures include
// every fsync; the file system the homes are on is printed with them.
//
// PostgreSQL: the same rounds also run on a second home whose mail database
// is in PostgreSQL ("velmora-pg"): on the server --postgres names (its
// password in PGPASSWORD), else on a throw-away cluster started for the run
// with scripts/pg-cluster, fsync and synchronous commit on. Its rate is
// printed beside the SQLite one with their ratio (goal >= 0.90);
// --skip-postgres leaves it out.
//
// CPU: each server runs as a child of this program in a process group of
// its own, and this program is the subreaper of everything it forks, so
// getrusage(RUSAGE_CHILDREN) grows by exactly the CPU of a server's whole
// tree (Postfix's master and every smtpd, cleanup, qmgr, virtual... it
// reaped, or that were reaped here) once it is stopped. A round's cost is
// that growth minus the median cost of a server started, left idle as long
// as a round waits before its work, and stopped ("idle cycle"), divided by
// the messages delivered. The live sum over /proc of the tree is printed
// beside it as a check.
//
// Postfix: its Debian package is fetched with `apt-get download postfix`
// (or --postfix-deb) and extracted with dpkg-deb into the temporary
// directory; it is never installed and neither /etc/postfix nor the
// system's mail setup is touched (bench/e2e/postfix_peer.sh writes its
// configuration: own queue, data, daemon and config directories, Maildir
// delivery through virtual to user0..user9@localhost, no DNS, no chroot,
// its log to a file). master insists on being root, so it runs as root of a
// user namespace: when this program runs as root it drops to the first id
// of an unused range (--userns-base, default 1500000000, or the range of
// the user "velbench" in /etc/subuid), unshares the user namespace and
// maps the namespace's ids 0-65535 onto that range, so master (0 inside),
// postfix (101) and vmail (1000) all run under unprivileged ids outside.
// Without root the caller's /etc/subuid range is mapped with newuidmap. A
// mount namespace puts the root's own passwd and group files over
// /etc/passwd and /etc/group for it alone. Postfix keeps its durability
// defaults (queue files synced before the 250).
//
// rspamd (--rspamd): one rspamd is started for the run from
// bench/e2e/rspamd-bench.conf (no plug-ins, no name server: each message
// costs rspamd the same whoever asks), and two more servers join the rounds:
// Velmora on a home of its own asking the normal worker over /checkv2 before
// each 250 ("velmora+rspamd"; its clients come from loopback, so the home
// filters relaying clients too), and Postfix in a root of its own with
// smtpd_milters pointing at the proxy worker in milter mode
// ("postfix+rspamd"). Each round's rspamd CPU is printed with theirs, and
// the medians end with the intake rates (filter off, Velmora+rspamd,
// Postfix+rspamd) and the ratio Velmora+rspamd/Postfix+rspamd (goal >= 1).
// The milter is on a loopback port, as most installations have it;
// --milter-unix puts it on a Unix socket instead: over TCP, Postfix's small
// milter packets that get no answer wait for the delayed ACK (Nagle), about
// 40 ms per message and session.
//
// --preload-accounts N adds N accounts and --preload-messages N stores N
// messages (over SMTP, untimed, spread over those accounts or else the 10
// users) before the rounds, to check that a full home is as fast as a
// fresh one; --skip-postfix runs Velmora alone for that. --spool-threads N
// sets the server's SpoolThreadCount (else its default).
//
// --busy N gives every server the same competition, as a machine shared
// with compiles: N CPU-bound processes and one writer syncing 4 KB writes
// continuously, started before and stopped after each server's round (and
// its system-call count), never counted in its CPU. Each round prints the
// processors the server got (its CPU over the wall time) and the writer's
// syncs per second; the system calls give each server's syncs per message.
//
//   e2e_bench [--program PATH] [--dir DIR] [--messages N] [--sessions N]
//             [--size BYTES] [--rounds N] [--big-mb N] [--skip-big]
//             [--skip-postfix] [--skip-strace] [--skip-tls] [--preload-messages N]
//             [--preload-accounts N] [--spool-threads N] [--postfix-deb PATH]
//             [--userns-base UID] [--postgres URL] [--skip-postgres] [--rspamd]
//             [--milter-unix] [--busy N] [--fresh-fs journal|nojournal]
// Without --program the program is looked for next to this one
// (build/X/bench/e2e_bench -> build/X/bin/velmora). Everything is made in
// one directory under --dir (default $TMPDIR or /tmp), removed afterwards
// (E2E_BENCH_KEEP=1 keeps it). On a file system without a journal, ext4
// allocates inodes slowly for minutes after many deletions (a run just
// after another paid up to half again as much CPU per message):
// --fresh-fs makes a new ext4 file system under --dir for the run, with its
// journal or without, loop-mounted (root only), so that every run meets the
// same disk; the figures then also show the cost of the loop device.
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e/BenchHome.h"
#include "e2e/FreshFileSystem.h"
#include "e2e/BenchOptions.h"
#include "e2e/BenchPostgres.h"
#include "e2e/BenchRspamd.h"
#include "e2e/BenchSupport.h"
#include "e2e/BusyLoad.h"
#include "e2e/MailBatch.h"
#include "e2e/PostfixPeer.h"
#include "e2e/RoundFigures.h"
#include "e2e/ServerProcess.h"
#include "e2e/SmtpClient.h"
#include "e2e/SyscallProfile.h"
#include "platform/TlsContext.h"

#ifndef E2E_BENCH_SOURCE_DIR
#define E2E_BENCH_SOURCE_DIR "bench"
#endif

namespace {

using namespace bench;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

struct Options {
    std::string program;
    std::string dir;
    int messages = 2000;
    int sessions = 8;
    std::size_t size = 4096;
    int bigMb = 50;
    int rounds = 3;
    long preloadMessages = 0;
    long preloadAccounts = 0;
    int spoolThreads = 0;  // 0: the server's default
    int busy = 0;          // CPU-bound processes beside each round (and a syncing writer), 0: none
    bool skipBig = false;
    bool skipPostfix = false;
    bool skipStrace = false;
    bool skipTls = false;
    bool skipPostgres = false;
    bool rspamd = false;
    bool milterUnix = false;  // Postfix reaches rspamd's milter over a Unix socket
    std::string postgres;     // postgresql://USER@HOST:PORT/DB of a server to use
    std::string postfixDeb;
    unsigned long usernsBase = 1500000000;
    std::string freshFs;  // "journal" or "nojournal": a new file system for the run
};

bool Parse(int argc, char** argv, Options& o) {
    BenchOptions options;
    options.Flag("--skip-big", o.skipBig);
    options.Flag("--skip-postfix", o.skipPostfix);
    options.Flag("--skip-strace", o.skipStrace);
    options.Flag("--skip-tls", o.skipTls);
    options.Flag("--skip-postgres", o.skipPostgres);
    options.Flag("--rspamd", o.rspamd);
    options.Flag("--milter-unix", o.milterUnix);
    options.Value("--postgres", [&](const char* v) { o.postgres = v; });
    options.Value("--messages", o.messages);
    options.Value("--sessions", o.sessions);
    options.Value("--size", o.size);
    options.Value("--big-mb", o.bigMb);
    options.Value("--rounds", o.rounds);
    options.Value("--preload-messages", o.preloadMessages);
    options.Value("--preload-accounts", o.preloadAccounts);
    options.Value("--spool-threads", o.spoolThreads);
    options.Value("--busy", o.busy);
    options.Value("--postfix-deb", [&](const char* v) { o.postfixDeb = fs::absolute(v).string(); });
    options.Value("--userns-base", o.usernsBase);
    options.Value("--fresh-fs", o.freshFs);
    // The program may be given bare, as the first argument.
    return options.Parse(argc, argv, o.program, o.dir, &o.program) && o.messages > 0 && o.sessions > 0 &&
           o.size >= 512 && o.bigMb > 0 && o.rounds > 0 && o.preloadMessages >= 0 && o.preloadAccounts >= 0 &&
           o.usernsBase > 0 && o.busy >= 0 && o.busy <= 64;
}

// The range of the user "velbench" in /etc/subuid, when there is one.
unsigned long VelbenchBase(unsigned long fallback) {
    std::istringstream in(ReadAll("/etc/subuid"));
    for (std::string line; std::getline(in, line);)
        if (line.rfind("velbench:", 0) == 0) return std::strtoul(line.c_str() + 9, nullptr, 10);
    return fallback;
}

double ChildrenCpuSeconds() {
    rusage ru{};
    ::getrusage(RUSAGE_CHILDREN, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// One server's figures for one round.
struct Round {
    MailBatch::Result sent;
    double cpu = 0;           // rusage growth minus the idle cycle
    double liveCpu = 0;       // /proc of the tree, from the start of the work to the last delivery
    double databaseCpu = -1;  // the helper server's (database, rspamd), start to stop; negative when not known
    double loadSyncsPerSecond = -1;  // the busy writer's, over the round; negative when quiet
    long peakKb = 0;          // VmHWM of the main process
    long idleKb = 0;
    long pssKb = 0;  // the whole tree, at the last delivery
    bool ok = false;
    double Rate() const {
        return sent.deliverSeconds > 0 ? static_cast<double>(sent.delivered) / sent.deliverSeconds : 0;
    }
    double CpuPer1000() const { return sent.delivered ? cpu * 1000.0 / static_cast<double>(sent.delivered) : 0; }
};

// How to run one server: start it (true once it serves), its delivered count.
struct Peer {
    std::string name;
    std::function<bool(ServerProcess&)> start;
    std::function<std::size_t()> delivered;
    std::function<bool()> settled;
    std::function<std::string(ServerProcess&)> why;  // the output that explains a failure
    std::function<double()> databaseCpu;             // a helper server's CPU so far, when it has one
    std::string helper = "database server";          // what that helper is
    double idleCpu = 0;
    const TlsContext* tls = nullptr;  // sessions go through STARTTLS with it
    bool IsVelmora() const { return name.rfind("velmora", 0) == 0; }
};

constexpr auto kSettle = 500ms;  // a started server's own start-up work ends

// A server started, left idle for as long as a round waits, and stopped: what
// a round costs without its messages.
bool IdleCycle(Peer& peer, double& cpu, std::string& why) {
    const double before = ChildrenCpuSeconds();
    ServerProcess server;
    if (!peer.start(server)) {
        why = peer.why(server);
        return false;
    }
    std::this_thread::sleep_for(kSettle);
    server.Stop();
    cpu = ChildrenCpuSeconds() - before;
    return true;
}

Round RunRound(Peer& peer, const MailBatch& batch) {
    Round round;
    const double before = ChildrenCpuSeconds();
    const double databaseBefore = peer.databaseCpu ? peer.databaseCpu() : -1;
    {
        ServerProcess server;
        if (!peer.start(server)) {
            std::cerr << "e2e_bench: " << peer.name << " did not start:\n" << peer.why(server);
            return round;
        }
        std::this_thread::sleep_for(kSettle);
        round.idleKb = server.StatusKb("VmHWM:");
        const double liveBefore = server.TreeCpuSeconds();
        round.sent = batch.Send(
            peer.delivered, [] { return true; }, 20ms);
        round.liveCpu = server.TreeCpuSeconds() - liveBefore;
        round.peakKb = server.StatusKb("VmHWM:");
        round.pssKb = server.TreePssKb();
        if (!server.Stop() && peer.IsVelmora()) std::printf("  (the server did not stop cleanly)\n");
        if (round.sent.delivered < static_cast<std::size_t>(batch.messages))
            std::cerr << "e2e_bench: " << peer.name << " delivered only " << round.sent.delivered << " of "
                      << batch.messages << "\n"
                      << peer.why(server);
    }
    round.cpu = ChildrenCpuSeconds() - before - peer.idleCpu;
    if (databaseBefore >= 0) {
        // The backends end with the server's connections; let the postmaster reap them.
        std::this_thread::sleep_for(200ms);
        const double after = peer.databaseCpu();
        if (after >= 0) round.databaseCpu = after - databaseBefore;
    }
    round.ok = round.sent.failed == 0 && round.sent.delivered >= static_cast<std::size_t>(batch.messages);
    return round;
}

void PrintRound(const Peer& peer, int number, const Round& r) {
    const MailBatch::Result& s = r.sent;
    std::printf("  round %d, %s:\n", number, peer.name.c_str());
    std::printf("    accepted:  %ld in %.3f s = %.0f msg/s%s\n", s.accepted, s.acceptSeconds,
                s.acceptSeconds > 0 ? static_cast<double>(s.accepted) / s.acceptSeconds : 0.0,
                s.failed ? "  (SOME SESSIONS FAILED)" : "");
    std::printf("    delivered: %zu in %.3f s = %.0f msg/s (until the last %s exists)\n", s.delivered, s.deliverSeconds,
                r.Rate(), peer.IsVelmora() ? ".mel" : "Maildir file");
    std::printf(
        "    server CPU: %.2f s (user+system, all its processes) over %.2f s wall; %.2f s per 1,000 messages "
        "(start to stop, less the idle cycle's %.2f s)\n",
        r.liveCpu, s.deliverSeconds, r.CpuPer1000(), peer.idleCpu);
    char load[128] = "";
    if (r.loadSyncsPerSecond >= 0)
        std::snprintf(load, sizeof load, " (beside the busy load; its writer synced %.0f times a second)",
                      r.loadSyncsPerSecond);
    std::printf("    processors it got: %.2f%s\n", s.deliverSeconds > 0 ? r.liveCpu / s.deliverSeconds : 0.0, load);
    if (r.databaseCpu >= 0)
        std::printf("    %s CPU: %.2f s; with the server's, %.2f s per 1,000 messages\n", peer.helper.c_str(),
                    r.databaseCpu,
                    r.CpuPer1000() + r.databaseCpu * 1000.0 / static_cast<double>(s.delivered ? s.delivered : 1));
    if (peer.IsVelmora())
        std::printf("    server peak RSS (VmHWM): %.1f MB (%.1f MB when idle); PSS %.1f MB\n", r.peakKb / 1024.0,
                    r.idleKb / 1024.0, r.pssKb / 1024.0);
    else
        std::printf("    memory: PSS %.1f MB over all its processes\n", r.pssKb / 1024.0);
}

std::string SyscallLine(const SyscallProfile& p, const std::vector<std::string>& names, double messages) {
    long calls = 0;
    std::string parts;
    for (const std::string& n : names) {
        const long c = p.Calls(n);
        calls += c;
        if (c) parts += (parts.empty() ? "" : ", ") + n + " " + std::to_string(c);
    }
    char line[256];
    std::snprintf(line, sizeof line, "%8ld = %6.2f per message%s%s%s", calls, static_cast<double>(calls) / messages,
                  parts.empty() ? "" : " (", parts.c_str(), parts.empty() ? "" : ")");
    return line;
}

// The peer's system calls over one batch, every process of it traced from
// just after start-up; printed per message, syncs by what they were made on.
bool ProfileRun(Peer& peer, const MailBatch& batch, const std::string& home, const std::string& output) {
    ServerProcess server;
    if (!peer.start(server)) {
        std::cerr << "e2e_bench: " << peer.name << " did not start:\n" << peer.why(server);
        return false;
    }
    std::this_thread::sleep_for(kSettle);
    SyscallProfile profile;
    profile.SetHome(home);
    if (!profile.Attach(server.TreePids(), output)) {
        std::printf("\nsystem calls: strace could not attach: %s\n", ReadAll(output + ".err").c_str());
        return true;
    }
    const MailBatch::Result sent = batch.Send(peer.delivered, peer.settled, 20ms);
    // The last message's clean-up and its syncs are part of the work.
    std::this_thread::sleep_for(200ms);
    profile.Finish({"fsync", "fdatasync"});
    server.Stop();
    const double n = static_cast<double>(std::max<std::size_t>(sent.delivered, 1));
    std::printf("\nsystem calls of %s over %zu delivered messages (strace -C -f -y, every process, idle included)\n",
                peer.name.c_str(), sent.delivered);
    std::printf("  %-18s %10s %10s %8s\n", "call", "calls", "per msg", "errors");
    for (std::size_t i = 0; i < profile.Rows().size() && i < 15; ++i) {
        const SyscallProfile::Row& row = profile.Rows()[i];
        std::printf("  %-18s %10ld %10.2f %8ld\n", row.name.c_str(), row.calls, static_cast<double>(row.calls) / n,
                    row.errors);
    }
    std::printf("  syncs (fsync+fdatasync):          %s\n", SyscallLine(profile, {"fsync", "fdatasync"}, n).c_str());
    std::printf("    on (HOME = %s):\n", home.c_str());
    for (const auto& [target, calls] : profile.Targets())
        std::printf("    %-44s %8ld = %6.2f per message\n", target.c_str(), calls, static_cast<double>(calls) / n);
    std::printf("  other syncs (sync_file_range, syncfs, sync, msync): %s\n",
                SyscallLine(profile, {"sync_file_range", "syncfs", "sync", "msync"}, n).c_str());
    std::printf("  renames and links:                %s\n",
                SyscallLine(profile, {"rename", "renameat", "renameat2", "link", "linkat"}, n).c_str());
    std::printf("  file locks (fcntl, flock):        %s\n", SyscallLine(profile, {"fcntl", "flock"}, n).c_str());
    std::printf("  all system calls:                 %8ld = %6.2f per message\n", profile.TotalCalls(),
                static_cast<double>(profile.TotalCalls()) / n);
    std::fflush(stdout);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!Parse(argc, argv, o)) {
        std::cerr << "usage: e2e_bench [--program PATH] [--dir DIR] [--messages N] [--sessions N] [--size BYTES]\n"
                     "                 [--rounds N] [--big-mb N] [--skip-big] [--skip-postfix] [--skip-strace]\n"
                     "                 [--skip-tls] [--preload-messages N] [--preload-accounts N] [--spool-threads N] "
                     "[--postfix-deb PATH]\n"
                     "                 [--userns-base UID] [--postgres URL] [--skip-postgres] [--rspamd]\n"
                     "                 [--milter-unix] [--busy N] [--fresh-fs journal|nojournal]\n";
        return 64;
    }
    // Servers' orphans come back here to be reaped, so their CPU is counted.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
    // Made first, so that it goes last, after every home on it.
    FreshFileSystem freshFs;
    if (!o.freshFs.empty()) {
        if (const std::string why = freshFs.Make(o.dir, o.freshFs); !why.empty()) {
            std::cerr << "e2e_bench: " << why << "\n";
            return 1;
        }
        o.dir = freshFs.Dir();
    }
    BenchHome home;
    if (const std::string why = home.Create(o.program, o.dir, "e2e"); !why.empty()) {
        std::cerr << "e2e_bench: " << why << "\n";
        return 1;
    }
    const int port = FreePort();
    // Every account's mail limit must hold what the run stores in it; an
    // office's default is kept unless it is too small (a larger number costs
    // nothing more to check).
    const std::uint64_t bigBytes = static_cast<std::uint64_t>(o.bigMb) << 20;
    const long messageKb = static_cast<long>(o.size / 1024 + 1);
    const long defaultLimitKb = 10240;
    const long userMessages = (static_cast<long>(o.messages) * (o.rounds * (o.skipTls ? 1 : 2) + 1) + 9) / 10 +
                              (o.preloadAccounts ? 0 : (o.preloadMessages + 9) / 10);
    const long userLimitKb = std::max(defaultLimitKb, userMessages * messageKb * 2);
    const long preloadLimitKb =
        o.preloadAccounts ? std::max(defaultLimitKb, (o.preloadMessages / o.preloadAccounts + 1) * messageKb * 2) : 0;
    const auto noDefault = [&](long limitKb) {
        return limitKb == defaultLimitKb ? std::nullopt : std::optional<long>(limitKb);
    };
    const auto provision = [&](BenchHome& target, int smtpPort, const std::string& databaseUrl) {
        bool ready = target.Setup(databaseUrl) && target.SetDword("Ports", "SMTP Port", smtpPort) &&
                     target.SetDword("Ports", "SMTP Max Message Size", static_cast<long>(bigBytes + (1 << 20))) &&
                     (o.spoolThreads <= 0 || target.SetDword("Preferences", "SpoolThreadCount", o.spoolThreads));
        // Ten accounts as an office makes them (the default mailbox limit), and
        // one without a mailbox limit for the large message.
        for (int u = 0; ready && u < 10; ++u)
            ready = target.AddAccount("user" + std::to_string(u), noDefault(userLimitKb));
        ready = ready && target.AddAccount("big", 0);
        if (!ready) std::cerr << "e2e_bench: the home could not be provisioned:\n" << target.CommandOutput();
        return ready;
    };
    if (!provision(home, port, "")) return 1;
    const std::vector<std::string> inboxes = home.AllInboxes();
    auto spoolEmpty = [&] { return home.SpoolEmpty(); };
    auto countMel = [&] { return CountFiles(inboxes, ".mel"); };

    Peer velmoraPeer;
    velmoraPeer.name = "velmora";
    velmoraPeer.start = [&](ServerProcess& server) { return home.Start(server); };
    velmoraPeer.delivered = countMel;
    velmoraPeer.settled = spoolEmpty;
    velmoraPeer.why = [](ServerProcess& server) { return server.Output(); };

    // The same server with every session under STARTTLS: an opportunistic
    // client, as a sending server is towards a self-signed certificate.
    TlsContext clientTls;
    Peer velmoraTlsPeer = velmoraPeer;
    velmoraTlsPeer.name = "velmora+tls";
    velmoraTlsPeer.tls = &clientTls;
    if (std::string reason; !o.skipTls && !clientTls.InitClient(false, "", reason)) {
        std::cerr << "e2e_bench: no TLS client context: " << reason << "\n";
        return 1;
    }

    // The same server with its mail database in PostgreSQL, on a home of its own.
    BenchHome pgHome;
    BenchPostgres postgres;
    Peer velmoraPgPeer;
    std::vector<std::string> pgInboxes;
    const int pgPort = FreePort();
    std::string postgresText = "not run (--skip-postgres)";
    if (!o.skipPostgres) {
        if (const std::string why = pgHome.Create(o.program, o.dir, "e2e-pg"); !why.empty()) {
            std::cerr << "e2e_bench: " << why << "\n";
            return 1;
        }
        if (const std::string why = postgres.Prepare(E2E_BENCH_SCRIPTS_DIR, pgHome.Dir(), o.postgres); !why.empty()) {
            std::cerr << "e2e_bench: " << why << "\n";
            return 1;
        }
        if (!provision(pgHome, pgPort, postgres.DatabaseUrl())) return 1;
        pgInboxes = pgHome.AllInboxes();
        velmoraPgPeer.name = "velmora-pg";
        velmoraPgPeer.start = [&](ServerProcess& server) { return pgHome.Start(server); };
        velmoraPgPeer.delivered = [&] { return CountFiles(pgInboxes, ".mel"); };
        velmoraPgPeer.settled = [&] { return pgHome.SpoolEmpty(); };
        velmoraPgPeer.why = [](ServerProcess& server) { return server.Output(); };
        velmoraPgPeer.databaseCpu = [&] { return postgres.ServerCpuSeconds(); };
        postgresText = postgres.Description();
    }

    // The same server asking rspamd before each 250, on a home of its own.
    BenchRspamd rspamd;
    BenchHome rspamdHome;
    Peer velmoraRspamdPeer;
    std::vector<std::string> rspamdInboxes;
    const int rspamdPort = FreePort();
    std::string rspamdText = "not run (no --rspamd)";
    if (o.rspamd) {
        const std::string dir = home.Dir() + "/rspamd";
        fs::create_directories(dir);
        if (const std::string why = rspamd.Start(E2E_BENCH_SOURCE_DIR "/e2e/rspamd-bench.conf", dir, o.milterUnix);
            !why.empty()) {
            std::cerr << "e2e_bench: " << why << "\n";
            return 1;
        }
        if (const std::string why = rspamdHome.Create(o.program, o.dir, "e2e-rspamd"); !why.empty()) {
            std::cerr << "e2e_bench: " << why << "\n";
            return 1;
        }
        if (!provision(rspamdHome, rspamdPort, "") ||
            !rspamdHome.Velmora({"reg", "set", "Filter", "Rspamd URL", "string", rspamd.Url()}) ||
            !rspamdHome.SetDword("Filter", "Filter Relay Clients", 1)) {
            std::cerr << "e2e_bench: the rspamd home could not be set up:\n" << rspamdHome.CommandOutput();
            return 1;
        }
        rspamdInboxes = rspamdHome.AllInboxes();
        velmoraRspamdPeer.name = "velmora+rspamd";
        velmoraRspamdPeer.start = [&](ServerProcess& server) { return rspamdHome.Start(server); };
        velmoraRspamdPeer.delivered = [&] { return CountFiles(rspamdInboxes, ".mel"); };
        velmoraRspamdPeer.settled = [&] { return rspamdHome.SpoolEmpty(); };
        velmoraRspamdPeer.why = [](ServerProcess& server) { return server.Output(); };
        velmoraRspamdPeer.databaseCpu = [&] { return rspamd.CpuSeconds(); };
        velmoraRspamdPeer.helper = "rspamd";
        rspamdText = rspamd.Version() + ", normal worker " + rspamd.Url() + ", milter " + rspamd.Milter();
    }

    // ---- preload: accounts and stored messages a long-used home has ----
    std::string preloadText = "none (a fresh home)";
    if (o.preloadAccounts || o.preloadMessages) {
        const auto start = Clock::now();
        for (long a = 0; a < o.preloadAccounts; ++a) {
            const std::string name = "load" + std::to_string(a);
            if (!home.AddAccount(name, noDefault(preloadLimitKb))) {
                std::cerr << "e2e_bench: preload account " << name << " was not made:\n" << home.CommandOutput();
                return 1;
            }
        }
        const double accountSeconds = Seconds(start, Clock::now());
        double messageSeconds = 0;
        if (o.preloadMessages) {
            MailBatch load;
            load.port = port;
            load.messages = o.preloadMessages;
            load.sessions = 16;
            for (long a = 0; a < (o.preloadAccounts ? o.preloadAccounts : 10); ++a)
                load.recipients.push_back((o.preloadAccounts ? "load" : "user") + std::to_string(a) + "@localhost");
            for (const std::string& r : load.recipients) load.texts.push_back(MakeMessage(o.size, r, "preload"));
            const std::vector<std::string> all = home.AllInboxes();
            ServerProcess server;
            if (!velmoraPeer.start(server)) {
                std::cerr << "e2e_bench: the server did not start:\n" << server.Output();
                return 1;
            }
            const MailBatch::Result sent = load.Send([&] { return CountFiles(all, ".mel"); }, spoolEmpty, 250ms);
            server.Stop();
            messageSeconds = sent.deliverSeconds;
            if (sent.delivered < static_cast<std::size_t>(o.preloadMessages)) {
                std::cerr << "e2e_bench: only " << sent.delivered << " of " << o.preloadMessages
                          << " preload messages were stored\n";
                return 1;
            }
        }
        char text[256];
        std::snprintf(text, sizeof text, "%ld extra accounts (%.1f s), %ld stored messages of %zu bytes (%.1f s)",
                      o.preloadAccounts, accountSeconds, o.preloadMessages, o.size, messageSeconds);
        preloadText = text;
    }

    // ---- Postfix in its own root ----
    PostfixPeer postfix;
    Peer postfixPeer;
    std::string postfixText = "not run (--skip-postfix)";
    if (!o.skipPostfix) {
        const std::string root = home.Dir() + "/postfix";
        fs::create_directories(root);
        const std::string why = postfix.Prepare(E2E_BENCH_SOURCE_DIR "/e2e/postfix_peer.sh", root, FreePort(),
                                                o.postfixDeb, VelbenchBase(o.usernsBase));
        if (why.empty()) {
            postfixText = postfix.Version() + " in " + root + "; " + postfix.Mapping();
            postfixPeer.name = "postfix";
            postfixPeer.start = [&](ServerProcess& server) { return postfix.Start(server); };
            postfixPeer.delivered = [&] { return CountFiles(postfix.NewDirectories(), ""); };
            postfixPeer.settled = [] { return true; };
            postfixPeer.why = [&](ServerProcess&) { return postfix.LogTail(); };
        } else {
            postfixText = "not run: " + why;
            o.skipPostfix = true;
        }
    }
    // The same with rspamd as its milter, in a root of its own.
    PostfixPeer postfixMilter;
    Peer postfixRspamdPeer;
    if (o.rspamd && !o.skipPostfix) {
        const std::string root = home.Dir() + "/postfix-rspamd";
        fs::create_directories(root);
        std::string why = postfixMilter.Prepare(E2E_BENCH_SOURCE_DIR "/e2e/postfix_peer.sh", root, FreePort(),
                                                o.postfixDeb, VelbenchBase(o.usernsBase));
        // The milter is asked at the end of data, before the 250, as Velmora asks rspamd.
        const std::string milter = "smtpd_milters = " + rspamd.Milter() +
                                   "\nmilter_protocol = 6\nmilter_default_action = accept\n"
                                   "milter_mail_macros = i {mail_addr} {client_addr} {client_name} {auth_authen}\n";
        std::ofstream mainCf(root + "/etc/main.cf", std::ios::app);
        if (why.empty() && !(mainCf << milter << std::flush)) why = "its main.cf could not be extended";
        if (!why.empty()) {
            std::cerr << "e2e_bench: postfix+rspamd: " << why << "\n";
            return 1;
        }
        postfixRspamdPeer.name = "postfix+rspamd";
        postfixRspamdPeer.start = [&](ServerProcess& server) { return postfixMilter.Start(server); };
        postfixRspamdPeer.delivered = [&] { return CountFiles(postfixMilter.NewDirectories(), ""); };
        postfixRspamdPeer.settled = [] { return true; };
        postfixRspamdPeer.why = [&](ServerProcess&) { return postfixMilter.LogTail(); };
        postfixRspamdPeer.databaseCpu = [&] { return rspamd.CpuSeconds(); };
        postfixRspamdPeer.helper = "rspamd";
    }

    std::cout << "program: " << o.program << "\nhome:    " << home.Home() << " (" << FileSystemName(home.Home())
              << ")\n"
              << "cores:   " << std::thread::hardware_concurrency() << "\n"
              << "preload: " << preloadText << "\n"
              << "postfix: " << postfixText << "\n"
              << "postgres: " << postgresText << "\n"
              << "rspamd:  " << rspamdText << "\n";

    // ---- 1. many small messages, the servers taking turns ----
    MailBatch batch;
    batch.port = port;
    batch.messages = o.messages;
    batch.sessions = o.sessions;
    for (int u = 0; u < 10; ++u) {
        batch.recipients.push_back("user" + std::to_string(u) + "@localhost");
        batch.texts.push_back(MakeMessage(o.size, batch.recipients.back(), "bench"));
    }
    std::vector<Peer*> peers = {&velmoraPeer};
    if (!o.skipTls) peers.push_back(&velmoraTlsPeer);
    if (!o.skipPostgres) peers.push_back(&velmoraPgPeer);
    if (o.rspamd) peers.push_back(&velmoraRspamdPeer);
    if (o.rspamd && !o.skipPostfix) peers.push_back(&postfixRspamdPeer);
    if (!o.skipPostfix) peers.push_back(&postfixPeer);
    const auto indexOf = [&](const Peer* peer) {
        return static_cast<std::size_t>(std::find(peers.begin(), peers.end(), peer) - peers.begin());
    };
    for (Peer* peer : peers) {
        // An idle server makes no handshakes: the TLS rounds share the plain ones' idle cycle.
        if (peer == &velmoraTlsPeer) {
            peer->idleCpu = velmoraPeer.idleCpu;
            continue;
        }
        std::vector<double> idle;
        for (int i = 0; i < 3; ++i) {
            double cpu = 0;
            std::string why;
            if (!IdleCycle(*peer, cpu, why)) {
                std::cerr << "e2e_bench: " << peer->name << " did not start:\n" << why;
                return 1;
            }
            idle.push_back(cpu);
        }
        peer->idleCpu = Median(idle);
    }
    std::printf("\n%d messages of %zu bytes, %d sessions, 10 local accounts, %d round%s, %s\n", o.messages, o.size,
                o.sessions, o.rounds, o.rounds == 1 ? "" : "s",
                o.busy ? ("busy: " + std::to_string(o.busy) + " CPU-bound processes and a syncing writer beside each round")
                             .c_str()
                       : "quiet (no load of the bench's own)");
    if (!o.freshFs.empty())
        std::printf("on a fresh ext4 file system (%s), loop-mounted at %s\n",
                    o.freshFs == "journal" ? "with a journal" : "without a journal", o.dir.c_str());
    for (Peer* peer : peers)
        if (peer != &velmoraTlsPeer)
            std::printf("  %s idle cycle (start, %.1f s idle, stop): %.3f s CPU\n", peer->name.c_str(),
                        std::chrono::duration<double>(kSettle).count(), peer->idleCpu);
    std::vector<std::vector<Round>> results(peers.size());
    RoundFigures figures;
    for (int r = 1; r <= o.rounds; ++r) {
        // The plain and the TLS rounds take turns going first, so that
        // neither always meets the fuller mailboxes.
        std::vector<std::size_t> order(peers.size());
        for (std::size_t p = 0; p < order.size(); ++p) order[p] = p;
        if (!o.skipTls && r % 2 == 0) std::swap(order[0], order[1]);
        for (const std::size_t p : order) {
            // Postfix serves its own port.
            MailBatch b = batch;
            if (peers[p] == &postfixPeer) b.port = postfix.Port();
            if (peers[p] == &velmoraPgPeer) b.port = pgPort;
            if (peers[p] == &velmoraRspamdPeer) b.port = rspamdPort;
            if (peers[p] == &postfixRspamdPeer) b.port = postfixMilter.Port();
            b.tls = peers[p]->tls;
            // The competition is running before the round's CPU is first read
            // and is reaped after its last read.
            BusyLoad load;
            if (o.busy && !load.Start(o.busy, home.Dir())) {
                std::cerr << "e2e_bench: the busy load could not be started\n";
                return 1;
            }
            const auto loadStart = Clock::now();
            Round round = RunRound(*peers[p], b);
            if (o.busy) round.loadSyncsPerSecond = static_cast<double>(load.Stop()) / Seconds(loadStart, Clock::now());
            PrintRound(*peers[p], r, round);
            if (!round.ok) return 1;
            results[p].push_back(round);
            figures.Add(peers[p]->name, "rate", round.Rate());
            figures.Add(peers[p]->name, "cpu", round.CpuPer1000());
            figures.Add(peers[p]->name, "accepted",
                        static_cast<double>(round.sent.accepted) / round.sent.acceptSeconds);
        }
        const Round& v = results[0].back();
        if (!o.skipTls) {
            const Round& t = results[1].back();
            std::printf("  round %d, TLS/plain: rate %.2f, CPU per message %.2f\n", r, t.Rate() / v.Rate(),
                        t.CpuPer1000() / v.CpuPer1000());
        }
        if (!o.skipPostgres) {
            const Round& g = results[o.skipTls ? 1 : 2].back();
            std::printf("  round %d, postgresql/sqlite: rate %.2f, CPU per message %.2f\n", r, g.Rate() / v.Rate(),
                        g.CpuPer1000() / v.CpuPer1000());
        }
        if (!o.skipPostfix) {
            const Round& p = results.back().back();
            std::printf("  round %d, velmora/postfix: rate %.2f, CPU per message %.2f\n", r, v.Rate() / p.Rate(),
                        v.CpuPer1000() / p.CpuPer1000());
        }
        if (o.rspamd && !o.skipPostfix) {
            const Round& vr = results[indexOf(&velmoraRspamdPeer)].back();
            const Round& pr = results[indexOf(&postfixRspamdPeer)].back();
            std::printf("  round %d, velmora+rspamd/postfix+rspamd: rate %.2f, accepted %.2f\n", r,
                        vr.Rate() / pr.Rate(),
                        (static_cast<double>(vr.sent.accepted) / vr.sent.acceptSeconds) /
                            (static_cast<double>(pr.sent.accepted) / pr.sent.acceptSeconds));
        }
        std::fflush(stdout);
    }
    std::printf("\nmedians over %d round%s (preload: %s)\n", o.rounds, o.rounds == 1 ? "" : "s", preloadText.c_str());
    for (const Peer* peer : peers)
        std::printf("  %-11s delivered %6.0f msg/s, accepted %6.0f msg/s, CPU %.2f s per 1,000 messages\n",
                    peer->name.c_str(), figures.Median(peer->name, "rate"), figures.Median(peer->name, "accepted"),
                    figures.Median(peer->name, "cpu"));
    if (!o.skipTls)
        std::printf("  TLS/plain (velmora): rate %.2f, accepted %.2f, CPU per message %.2f\n",
                    figures.Ratio("rate", "velmora+tls", "velmora"),
                    figures.Ratio("accepted", "velmora+tls", "velmora"),
                    figures.Ratio("cpu", "velmora+tls", "velmora"));
    if (!o.skipPostgres)
        std::printf("  postgresql/sqlite: rate %.0f / %.0f msg/s = %.2f (goal >= 0.90), CPU per message %.2f\n",
                    figures.Median("velmora-pg", "rate"), figures.Median("velmora", "rate"),
                    figures.Ratio("rate", "velmora-pg", "velmora"), figures.Ratio("cpu", "velmora-pg", "velmora"));
    if (!o.skipPostfix)
        std::printf("  velmora/postfix: rate %.2f (goal >= %s), CPU per message %.2f (goal <= 0.50)\n",
                    figures.Ratio("rate", "velmora", "postfix"), o.busy ? "1.50 when busy" : "2.50",
                    figures.Ratio("cpu", "velmora", "postfix"));
    if (o.rspamd) {
        std::printf("  intake (accepted msg/s): filter off %.0f, velmora+rspamd %.0f",
                    figures.Median("velmora", "accepted"), figures.Median("velmora+rspamd", "accepted"));
        if (!o.skipPostfix)
            std::printf(", postfix+rspamd %.0f (postfix alone %.0f)", figures.Median("postfix+rspamd", "accepted"),
                        figures.Median("postfix", "accepted"));
        std::printf("\n  velmora+rspamd/velmora: accepted %.2f, delivered %.2f\n",
                    figures.Ratio("accepted", "velmora+rspamd", "velmora"),
                    figures.Ratio("rate", "velmora+rspamd", "velmora"));
        if (!o.skipPostfix)
            std::printf("  velmora+rspamd/postfix+rspamd: accepted %.2f, delivered %.2f (goal >= 1)\n",
                        figures.Ratio("accepted", "velmora+rspamd", "postfix+rspamd"),
                        figures.Ratio("rate", "velmora+rspamd", "postfix+rspamd"));
    }
    std::fflush(stdout);

    // ---- 2. the system calls over the same work (untimed) ----
    if (o.skipStrace) {
        std::printf("\nsystem calls: skipped (--skip-strace)\n");
    } else if (!SyscallProfile::Available()) {
        std::printf("\nsystem calls: skipped (strace is not installed; apt-get install strace)\n");
    } else {
        for (Peer* peer : peers) {
            if (peer == &velmoraTlsPeer) continue;  // the calls of the store are the plain rounds' ones
            if (peer == &velmoraRspamdPeer || peer == &postfixRspamdPeer) continue;  // the same, with a filter
            MailBatch b = batch;
            if (peer == &postfixPeer) b.port = postfix.Port();
            if (peer == &velmoraPgPeer) b.port = pgPort;
            const std::string prefix = peer == &postfixPeer     ? postfix.Root()
                                       : peer == &velmoraPgPeer ? pgHome.Home()
                                                                : home.Home();
            BusyLoad load;
            if (o.busy) load.Start(o.busy, home.Dir());
            if (!ProfileRun(*peer, b, prefix, home.Dir() + "/strace-" + peer->name + ".out")) return 1;
        }
    }

    // ---- 3. one large message, on a fresh server so its peak is its own ----
    if (!o.skipBig) {
        ServerProcess server;
        if (!velmoraPeer.start(server)) {
            std::cerr << "e2e_bench: the server did not restart:\n" << server.Output();
            return 1;
        }
        const long idleKb = server.StatusKb("VmHWM:");
        const std::string big = MakeMessage(static_cast<std::size_t>(bigBytes), "big@localhost", "big");
        SmtpClient client;
        if (!client.Connect(port)) {
            std::cerr << "e2e_bench: no connection for the large message\n";
            return 1;
        }
        const std::size_t before = countMel();
        const auto start = Clock::now();
        const bool ok = client.SendMail("bench@localhost", "big@localhost", big);
        const auto acceptedAt = Clock::now();
        // In the mailbox, and its spool file gone (routing has finished with it).
        auto whole = [&] { return countMel() > before && spoolEmpty(); };
        const auto until = acceptedAt + 600s;
        while (ok && !whole() && Clock::now() < until) std::this_thread::sleep_for(20ms);
        const auto deliveredAt = Clock::now();
        const long peakKb = server.StatusKb("VmHWM:");
        client.Send("QUIT\r\n");
        std::printf("\none message of %d MB\n", o.bigMb);
        std::printf("  accepted (250) after %.3f s%s\n", Seconds(start, acceptedAt), ok ? "" : "  (REFUSED)");
        std::printf("  delivered after %.3f s\n", Seconds(start, deliveredAt));
        std::printf("  server peak RSS (VmHWM): %.1f MB (%.1f MB when idle)\n", peakKb / 1024.0, idleKb / 1024.0);
        server.Stop();
        if (!ok || !whole()) return 1;
    }
    return 0;
}
