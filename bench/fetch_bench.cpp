// Fetch benchmark: mail fetched from remote POP3 mailboxes into local
// Velmora mailboxes, by the program's own send/receive pass over mapped
// accounts, and by fetchmail handing the same mail to the same Velmora SMTP
// listener as the yardstick.
//   1. A fresh home with --accounts (default 8) accounts user0, user1, ...;
//      each is mapped (`velmora popaccount add userN 127.0.0.1 userN`) to
//      the Dovecot mailbox of the same name, its mail not left there.
//   2. --messages (default 2,000) messages of 4 KB, spread evenly over the
//      mailboxes, are Dovecot's Maildir files (bench/e2e/DovecotBench, in
//      its user namespace); they are put back before every half, and
//      Dovecot is started afresh for it.
//   3. Rounds (--rounds, default 3) of two halves on the one running server:
//      velmora: `velmora send-receive`; the clock runs from the moment
//        `velmora status` shows the pass running (the request waits for the
//        server's next half-second tick, which is printed apart) until the
//        last message is a ".mel" file in its Inbox;
//      fetchmail: `fetchmail --nodetach` over an rc file of every mailbox
//        (fetchall, no keep: it deletes as the program does), each message
//        handed over SMTP to 127.0.0.1/PORT for userN@localhost; with
//        --fetchmail-each one fetchmail per mailbox, all at once. The clock
//        runs from its start until it has exited and the last message is a
//        ".mel" file. The mapped accounts are disabled meanwhile, so that no
//        pass of the server's own takes the mail.
//   Printed: messages per second of each half, the medians and the ratio
//   velmora/fetchmail, and what either left on the server.
// fetchmail writes a message to SMTP line by line; with Nagle's algorithm
// on its socket the last lines wait for the server's delayed ACK, about
// 40 ms per message on Linux loopback, which bounds one fetchmail to some
// 25 messages per second whatever the server does.
// Until the send/receive pass downloads mapped accounts, the velmora half
// says how many of the messages its pass fetched and is skipped.
//
//   fetch_bench [--program PATH] [--dir DIR] [--messages N] [--accounts N]
//               [--rounds N] [--fetchmail-each] [--skip-velmora]
//               [--userns-base UID]
// Without --program the program is looked for next to this one. Everything
// is made in one directory under --dir (default $TMPDIR or /tmp), removed
// afterwards (E2E_BENCH_KEEP=1 keeps it).
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "e2e/BenchHome.h"
#include "e2e/BenchOptions.h"
#include "e2e/BenchSupport.h"
#include "e2e/DovecotBench.h"
#include "e2e/RoundFigures.h"
#include "e2e/ServerProcess.h"

namespace {

using namespace bench;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr std::size_t kSize = 4096;
const char* const kFetchmail = "/usr/bin/fetchmail";

struct Options {
    std::string program;
    std::string dir;
    int messages = 2000;
    int accounts = 8;
    int rounds = 3;
    bool skipVelmora = false;
    bool fetchmailEach = false;
    unsigned long usernsBase = 1500000000;
};

bool Parse(int argc, char** argv, Options& o) {
    BenchOptions options;
    options.Flag("--skip-velmora", o.skipVelmora);
    options.Flag("--fetchmail-each", o.fetchmailEach);
    options.Value("--messages", o.messages);
    options.Value("--accounts", o.accounts);
    options.Value("--rounds", o.rounds);
    options.Value("--userns-base", o.usernsBase);
    return options.Parse(argc, argv, o.program, o.dir) && o.accounts > 0 && o.messages >= o.accounts && o.rounds > 0 &&
           o.usernsBase > 0;
}

std::string User(int u) {
    return "user" + std::to_string(u);
}

// The messages as whole files (no end-of-data line), message m for account
// m % accounts; per account, in order. Empty on success, else why not.
std::string WriteMessages(const std::string& dir, int accounts, int messages,
                          std::vector<std::vector<std::string>>& mail) {
    mail.assign(static_cast<std::size_t>(accounts), {});
    fs::create_directories(dir);
    for (int m = 0; m < messages; ++m) {
        const int u = m % accounts;
        const std::string text = MakeMessage(kSize, User(u) + "@localhost", "f" + std::to_string(m));
        const std::string path = dir + "/m" + std::to_string(m) + ".eml";
        std::ofstream out(path, std::ios::binary);
        out.write(text.data(), static_cast<std::streamsize>(text.size() - 3));  // less ".\r\n"
        if (!out.flush()) return "cannot write " + path;
        mail[static_cast<std::size_t>(u)].push_back(path);
    }
    return "";
}

// The send/receive cycle as `velmora status` shows it.
struct PassState {
    bool known = false;
    bool running = false;
    long completed = 0;
};

PassState ReadPassState(const BenchHome& home) {
    PassState state;
    const std::string text = home.VelmoraOutput({"status"});
    const std::size_t at = text.find("Send and receive: ");
    const std::size_t count = text.find(" completed since start", at);
    if (at == std::string::npos || count == std::string::npos) return state;
    state.known = true;
    state.running = text.compare(at + 18, 7, "running") == 0;
    const std::size_t semicolon = text.rfind("; ", count);
    state.completed = semicolon == std::string::npos || semicolon < at ? 0 : std::atol(text.c_str() + semicolon + 2);
    return state;
}

struct Half {
    long fetched = 0;
    double seconds = 0;
    double waitSeconds = 0;  // velmora: from the request until the pass ran
    bool ok = false;
    double Rate() const { return seconds > 0 ? static_cast<double>(fetched) / seconds : 0; }
};

// One send/receive pass on the running server, until every message is in
// its Inbox, or the pass has ended and nothing more arrives.
Half VelmoraPass(const BenchHome& home, const std::vector<std::string>& inboxes, long expected) {
    Half half;
    const std::size_t before = CountFiles(inboxes, ".mel");
    const PassState idle = ReadPassState(home);
    const auto asked = Clock::now();
    if (!idle.known || home.VelmoraOutput({"send-receive"}).empty()) return half;
    auto started = asked, last = asked;
    bool running = false, ended = false;
    std::size_t seen = 0;
    auto lastGrowth = asked, lastLook = asked;
    const auto until = asked + 600s;
    while (Clock::now() < until) {
        const std::size_t now = CountFiles(inboxes, ".mel") - before;
        if (now > seen) {
            seen = now;
            last = lastGrowth = Clock::now();
        }
        if (seen >= static_cast<std::size_t>(expected)) break;
        // Until the pass is seen running the status is read often (its start
        // is the clock's); then now and then, for its end.
        if (!ended && Clock::now() - lastLook >= (running ? 500ms : 10ms)) {
            lastLook = Clock::now();
            const PassState state = ReadPassState(home);
            if (!running && (state.running || state.completed > idle.completed || seen > 0)) {
                running = true;
                started = lastLook;
            }
            ended = state.completed > idle.completed;
        }
        // The messages a pass handed over reach the Inbox a moment after it ends.
        if (ended && Clock::now() - lastGrowth > 3s) break;
        std::this_thread::sleep_for(20ms);
    }
    half.fetched = static_cast<long>(seen);
    half.seconds = seen ? Seconds(started, last) : 0;
    half.waitSeconds = Seconds(asked, started);
    half.ok = half.fetched == expected;
    return half;
}

// fetchmail's rc file in dir: the mailboxes of the given accounts, each
// message handed to the Velmora SMTP listener; plain POP3 (Dovecot offers
// STLS it cannot complete here).
std::string WriteFetchmailRc(const std::string& dir, int pop3Port, int smtpPort, const std::vector<int>& accounts) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    std::string rc =
        "set no syslog\npoll 127.0.0.1 service " + std::to_string(pop3Port) + " protocol pop3 auth password\n";
    for (const int u : accounts)
        rc += "  user \"" + User(u) + "\" there with password \"" + BenchHome::kPassword + "\" is \"" + User(u) +
              "\" here smtphost \"127.0.0.1/" + std::to_string(smtpPort) + "\" smtpname \"" + User(u) +
              "@localhost\" fetchall nokeep sslproto \"\"\n";
    const std::string path = dir + "/fetchmailrc";
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << rc;
    if (!out.flush()) return "cannot write " + path;
    // fetchmail reads no rc file others could read.
    ::chmod(path.c_str(), 0600);
    return "";
}

// One fetchmail per directory (each with its rc file), all at once, timed
// until every one has exited and the last message is in its Inbox.
Half FetchmailRun(const std::vector<std::string>& dirs, const std::vector<std::string>& inboxes, long expected,
                  std::string& why) {
    Half half;
    const std::size_t before = CountFiles(inboxes, ".mel");
    std::vector<char> ran(dirs.size(), 0);
    const auto start = Clock::now();
    {
        std::vector<std::thread> runs;
        for (std::size_t i = 0; i < dirs.size(); ++i)
            runs.emplace_back([&, i] {
                const std::string& dir = dirs[i];
                // Exit code 0: mail was fetched.
                ran[i] = Run({"env", "FETCHMAILHOME=" + dir, kFetchmail, "--nodetach", "--nosyslog", "-f",
                              dir + "/fetchmailrc", "--pidfile", dir + "/fetchmail.pid"},
                             dir + "/fetchmail.out", 600);
            });
        for (std::thread& t : runs) t.join();
    }
    const bool allRan = std::all_of(ran.begin(), ran.end(), [](char r) { return r != 0; });
    const auto until = Clock::now() + 600s;
    std::size_t seen = 0;
    while ((seen = CountFiles(inboxes, ".mel") - before) < static_cast<std::size_t>(expected) && Clock::now() < until &&
           allRan)
        std::this_thread::sleep_for(20ms);
    half.seconds = Seconds(start, Clock::now());
    half.fetched = static_cast<long>(seen);
    half.ok = allRan && half.fetched == expected;
    for (std::size_t i = 0; i < dirs.size(); ++i)
        if (!ran[i]) {
            const std::string text = ReadAll(dirs[i] + "/fetchmail.out");
            why += text.size() > 2000 ? text.substr(text.size() - 2000) : text;
        }
    return half;
}

bool SetMappingsEnabled(BenchHome& home, int accounts, bool enabled) {
    bool ok = true;
    for (int u = 0; u < accounts; ++u)
        ok = home.Velmora({"popaccount", enabled ? "enable" : "disable", User(u), "127.0.0.1", User(u)}) && ok;
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!Parse(argc, argv, o)) {
        std::cerr << "usage: fetch_bench [--program PATH] [--dir DIR] [--messages N] [--accounts N] [--rounds N]\n"
                     "                   [--fetchmail-each] [--skip-velmora] [--userns-base UID]\n";
        return 64;
    }
    if (::access(kFetchmail, X_OK) != 0) {
        std::cerr << "fetch_bench: " << kFetchmail << " is missing (scripts/install-deps)\n";
        return 1;
    }
    // Servers' orphans come back here to be reaped.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
    BenchHome home;
    if (const std::string why = home.Create(o.program, o.dir, "fetch"); !why.empty()) {
        std::cerr << "fetch_bench: " << why << "\n";
        return 1;
    }
    std::vector<std::string> users;
    for (int u = 0; u < o.accounts; ++u) users.push_back(User(u));

    // ---- Dovecot's mailboxes and their messages ----
    DovecotBench dovecot;
    std::vector<std::vector<std::string>> mail;
    std::string why = WriteMessages(home.Dir() + "/messages", o.accounts, o.messages, mail);
    if (why.empty()) why = dovecot.Prepare(home.Dir() + "/dovecot", users, BenchHome::kPassword, o.usernsBase);
    if (!why.empty()) {
        std::cerr << "fetch_bench: Dovecot cannot run: " << why << "\n";
        return 1;
    }

    // ---- the home: the accounts, room for every half's mail, the mappings ----
    const int smtpPort = FreePort();
    const long perUser = (o.messages + o.accounts - 1) / o.accounts;
    const long limitKb = std::max(10240L, 2L * o.rounds * perUser * static_cast<long>(kSize / 1024 + 2) * 2);
    // The POP3 listener on a port of its own, away from any other on 110.
    bool ready = home.Setup() && home.SetDword("Ports", "SMTP Port", smtpPort) &&
                 home.SetDword("Ports", "POP3 Port", FreePort());
    for (int u = 0; ready && u < o.accounts; ++u) ready = home.AddAccount(User(u), limitKb);
    const std::vector<std::string> inboxes = ready ? home.Inboxes(users) : std::vector<std::string>{};
    if (!ready || inboxes.size() != users.size()) {
        std::cerr << "fetch_bench: the home could not be provisioned:\n" << home.CommandOutput();
        return 1;
    }
    bool mapped = !o.skipVelmora;
    for (int u = 0; mapped && u < o.accounts; ++u)
        mapped = home.Velmora({"popaccount", "add", User(u), "127.0.0.1", User(u), "--port",
                               std::to_string(dovecot.Port()), "--password", BenchHome::kPassword});
    bool velmoraHalf = mapped;
    if (!o.skipVelmora && !mapped) {
        const std::string text = home.CommandOutput();
        std::printf("velmora: the mapped accounts could not be made (%s); its half is skipped\n",
                    text.substr(text.rfind('\n', text.size() - 2) + 1, 200).c_str());
    }
    // One fetchmail for every mailbox (its usual set-up), or one per mailbox.
    std::vector<std::string> fetchmailDirs;
    std::vector<int> all;
    for (int u = 0; u < o.accounts; ++u) all.push_back(u);
    for (int u = 0; why.empty() && u < (o.fetchmailEach ? o.accounts : 1); ++u) {
        fetchmailDirs.push_back(home.Dir() + "/fetchmail" + (o.fetchmailEach ? std::to_string(u) : ""));
        why = WriteFetchmailRc(fetchmailDirs.back(), dovecot.Port(), smtpPort,
                               o.fetchmailEach ? std::vector<int>{u} : all);
    }
    if (!why.empty()) {
        std::cerr << "fetch_bench: " << why << "\n";
        return 1;
    }

    ServerProcess server;
    if (!home.Start(server) || !server.WaitAccepting(smtpPort, 30s)) {
        std::cerr << "fetch_bench: velmora did not start:\n" << server.Output();
        return 1;
    }
    std::printf(
        "POP3 fetch: %d messages of %zu bytes from %d Dovecot mailbox%s into as many local ones, %s; files on %s\n",
        o.messages, kSize, o.accounts, o.accounts == 1 ? "" : "es",
        o.fetchmailEach ? "one fetchmail per mailbox" : "one fetchmail for all", FileSystemName(home.Dir()));
    std::printf("dovecot %s", dovecot.Version().c_str());
    {
        FILE* pipe = ::popen((std::string(kFetchmail) + " --version 2>/dev/null").c_str(), "r");
        char line[160] = "";
        if (pipe && std::fgets(line, sizeof line, pipe)) std::printf("%s", line);
        if (pipe) ::pclose(pipe);
    }

    RoundFigures figures;
    bool failed = false;
    // One half: Dovecot refilled and started, the work, Dovecot stopped.
    auto runHalf = [&](const std::string& name, int round, const auto& work) {
        ServerProcess peer;
        std::string whyNot = dovecot.Fill(mail);
        if (whyNot.empty() && !dovecot.Start(peer)) whyNot = "it did not start:\n" + dovecot.Why(peer);
        if (!whyNot.empty()) {
            std::cerr << "fetch_bench: Dovecot: " << whyNot << "\n";
            failed = true;
            return Half{};
        }
        const Half half = work();
        peer.Stop();
        const std::size_t left = dovecot.Stored();
        std::printf("  round %d, %-9s %5ld of %d messages in %.3f s = %5.0f msg/s", round, (name + ":").c_str(),
                    half.fetched, o.messages, half.seconds, half.Rate());
        if (name == "velmora") std::printf(" (the pass began %.2f s after the request)", half.waitSeconds);
        std::printf("%s\n", left ? ("; " + std::to_string(left) + " left on the server").c_str() : "");
        if (half.ok) figures.Add(name, "rate", half.Rate());
        return half;
    };

    for (int round = 1; round <= o.rounds && !failed; ++round) {
        if (velmoraHalf) {
            const Half v = runHalf("velmora", round, [&] { return VelmoraPass(home, inboxes, o.messages); });
            if (!v.ok && !failed) {
                std::printf("velmora: the send/receive pass fetched %ld of %d; its half is skipped\n", v.fetched,
                            o.messages);
                velmoraHalf = false;
            }
        }
        if (mapped && !SetMappingsEnabled(home, o.accounts, false)) {
            std::cerr << "fetch_bench: the mapped accounts could not be disabled:\n" << home.CommandOutput();
            failed = true;
            break;
        }
        std::string whyFetchmail;
        const Half f =
            runHalf("fetchmail", round, [&] { return FetchmailRun(fetchmailDirs, inboxes, o.messages, whyFetchmail); });
        if (!f.ok && !failed) {
            std::cerr << "fetch_bench: fetchmail fetched " << f.fetched << " of " << o.messages << ":\n"
                      << whyFetchmail;
            failed = true;
        }
        if (velmoraHalf && !SetMappingsEnabled(home, o.accounts, true)) {
            std::cerr << "fetch_bench: the mapped accounts could not be enabled again:\n" << home.CommandOutput();
            failed = true;
        }
        std::fflush(stdout);
    }
    server.Stop();

    std::printf("medians over %d round%s:\n", o.rounds, o.rounds == 1 ? "" : "s");
    if (velmoraHalf) std::printf("  velmora   %6.0f msg/s\n", figures.Median("velmora", "rate"));
    std::printf("  fetchmail %6.0f msg/s\n", figures.Median("fetchmail", "rate"));
    if (velmoraHalf && !failed)
        std::printf("  velmora/fetchmail: rate %.2f\n", figures.Ratio("rate", "velmora", "fetchmail"));
    return failed || (!o.skipVelmora && !velmoraHalf) ? 1 : 0;
}
