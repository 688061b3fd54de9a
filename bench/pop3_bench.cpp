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
// configuration of this program's own in the temporary directory
// (pop3 only, 127.0.0.1 and a free port, no TLS, a passwd-file for the
// users, Maildir under the directory, base, state and log there too); the
// system's /etc/dovecot and its service are never used. Its master insists
// on root, so it runs as root of a user namespace whose ids are unprivileged
// outside (bench/e2e/ServerProcess: --userns-base, default 1500000000, when
// run as root, else the caller's /etc/subuid range), with the directory's
// own passwd and group files mounted over the system's for it alone.
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
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e/BenchSupport.h"
#include "e2e/Pop3Client.h"
#include "e2e/ServerProcess.h"
#include "e2e/SmtpClient.h"

namespace {

using namespace bench;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr int kUsers = 8;
constexpr std::size_t kSize = 4096;
const char* const kPassword = "secret12";
const char* const kDovecot = "/usr/sbin/dovecot";

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
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        const char* v = nullptr;
        if (a == "--skip-dovecot")
            o.skipDovecot = true;
        else if (a == "--skip-velmora")
            o.skipVelmora = true;
        else if (a == "--program" && (v = next()))
            o.program = v;
        else if (a == "--dir" && (v = next()))
            o.dir = v;
        else if (a == "--messages" && (v = next()))
            o.messages = std::atoi(v);
        else if (a == "--rounds" && (v = next()))
            o.rounds = std::atoi(v);
        else if (a == "--userns-base" && (v = next()))
            o.usernsBase = std::strtoul(v, nullptr, 10);
        else
            return false;
    }
    if (o.program.empty()) {
        std::error_code ec;
        o.program = (fs::read_symlink("/proc/self/exe", ec).parent_path().parent_path() / "bin" / "velmora").string();
    }
    if (o.dir.empty()) o.dir = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp";
    return o.messages >= kUsers && o.rounds > 0 && o.usernsBase > 0;
}

std::string User(int u) {
    return "user" + std::to_string(u);
}

// Removes the benchmark's directory on every way out.
struct DirGuard {
    std::string path;
    ~DirGuard() {
        std::error_code ec;
        if (!path.empty() && !std::getenv("E2E_BENCH_KEEP")) fs::remove_all(path, ec);
    }
};

// True when 127.0.0.1:port accepts a connection (whatever address the
// server bound, the wildcard included).
bool Accepts(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

// Waits (bounded) until port accepts connections while server runs.
bool WaitListening(ServerProcess& server, int port, std::chrono::seconds wait) {
    const auto until = Clock::now() + wait;
    while (Clock::now() < until && server.Running()) {
        if (Accepts(port)) return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
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
            if (!client.Login(port, User(u), kPassword) || !client.List(sizes)) {
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
    std::vector<Retrieval> rounds;
    bool failed = false;
};

void RunRound(Peer& peer, int number, long expected) {
    ServerProcess server;
    if (!peer.start(server) || !WaitListening(server, peer.port, 10s)) {
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
    peer.rounds.push_back(r);
}

// Dovecot's root: configuration, users, Maildirs (from the stored files),
// all handed to the namespace's ids. Empty on success, else why not.
std::string PrepareDovecot(const std::string& root, int port, const std::vector<std::vector<std::string>>& mail,
                           const UserNamespace& ns) {
    if (::access(kDovecot, X_OK) != 0) return std::string(kDovecot) + " is missing (scripts/install-deps)";
    for (const char* d : {"etc", "run", "state", "log", "mail"}) fs::create_directories(root + "/" + d);
    // Inside the namespace: dovecot and dovenull for its own processes, vmail owns the mail.
    const std::string passwd =
        "root:x:0:0:root:/root:/bin/sh\ndovecot:x:101:101::/nonexistent:/usr/sbin/nologin\n"
        "dovenull:x:102:102::/nonexistent:/usr/sbin/nologin\nvmail:x:1000:1000::/nonexistent:/usr/sbin/nologin\n"
        "nobody:x:65534:65534::/nonexistent:/usr/sbin/nologin\n";
    const std::string group = "root:x:0:\ndovecot:x:101:\ndovenull:x:102:\nvmail:x:1000:\nnogroup:x:65534:\n";
    std::string users;
    for (int u = 0; u < kUsers; ++u)
        users += User(u) + ":{PLAIN}" + kPassword + ":1000:1000::" + root + "/mail/" + User(u) + "::\n";
    // Pop3 alone, no TLS, everything it keeps under root.
    std::string conf = R"(protocols = pop3
listen = 127.0.0.1
base_dir = @ROOT@/run
state_dir = @ROOT@/state
log_path = @ROOT@/log/dovecot.log
ssl = no
disable_plaintext_auth = no
auth_mechanisms = plain
default_internal_user = dovecot
default_internal_group = dovecot
default_login_user = dovenull
mail_location = maildir:@ROOT@/mail/%u
first_valid_uid = 1000
passdb {
  driver = passwd-file
  args = @ROOT@/etc/users
}
userdb {
  driver = passwd-file
  args = @ROOT@/etc/users
}
service pop3-login {
  inet_listener pop3 {
    address = 127.0.0.1
    port = @PORT@
  }
  inet_listener pop3s {
    port = 0
  }
}
)";
    for (const auto& [mark, value] :
         {std::pair<std::string, std::string>{"@ROOT@", root}, {"@PORT@", std::to_string(port)}})
        for (std::size_t at = 0; (at = conf.find(mark, at)) != std::string::npos; at += value.size())
            conf.replace(at, mark.size(), value);
    auto write = [](const std::string& path, const std::string& text) {
        FILE* f = std::fopen(path.c_str(), "w");
        if (!f) return false;
        const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
        return std::fclose(f) == 0 && ok;
    };
    if (!write(root + "/etc/passwd", passwd) || !write(root + "/etc/group", group) ||
        !write(root + "/etc/users", users) || !write(root + "/etc/dovecot.conf", conf))
        return "cannot write its configuration under " + root;
    // Seen already, so that no round renames files.
    for (int u = 0; u < kUsers; ++u) {
        const std::string maildir = root + "/mail/" + User(u);
        for (const char* d : {"/cur", "/new", "/tmp"}) fs::create_directories(maildir + d);
        for (std::size_t m = 0; m < mail[static_cast<std::size_t>(u)].size(); ++m) {
            std::error_code ec;
            fs::copy_file(mail[static_cast<std::size_t>(u)][m],
                          maildir + "/cur/1765000000.M" + std::to_string(m) + "P1.bench:2,S", ec);
            if (ec) return "cannot copy " + mail[static_cast<std::size_t>(u)][m] + ": " + ec.message();
        }
    }
    // The namespace's root owns the root, its vmail the mail.
    if (ns.asRoot) {
        const std::string rootId = std::to_string(ns.base), vmail = std::to_string(ns.base + 1000);
        if (!Run({"chown", "-R", rootId + ":" + rootId, root}, root + "/prepare.out") ||
            !Run({"chown", "-R", vmail + ":" + vmail, root + "/mail"}, root + "/prepare.out"))
            return "cannot hand its root to the namespace:\n" + ReadAll(root + "/prepare.out");
    }
    return "";
}

double MedianOf(const std::vector<Retrieval>& rounds, double (Retrieval::*figure)() const) {
    std::vector<double> values;
    for (const Retrieval& r : rounds) values.push_back((r.*figure)());
    return Median(values);
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!Parse(argc, argv, o)) {
        std::cerr << "usage: pop3_bench [--program PATH] [--dir DIR] [--messages N] [--rounds N] [--skip-dovecot]\n"
                     "                  [--skip-velmora] [--userns-base UID]\n";
        return 64;
    }
    if (::access(o.program.c_str(), X_OK) != 0) {
        std::cerr << "pop3_bench: no program at " << o.program << " (give --program)\n";
        return 1;
    }
    // Servers' orphans come back here to be reaped.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
    std::string tmpl = o.dir + "/velmora-pop3-bench-XXXXXX";
    if (!::mkdtemp(tmpl.data())) {
        std::cerr << "pop3_bench: cannot make a directory under " << o.dir << "\n";
        return 1;
    }
    DirGuard guard{tmpl};
    // Dovecot's namespace ids must reach their own root below.
    ::chmod(tmpl.c_str(), 0711);
    const std::string home = tmpl + "/velmora";
    const std::string log = home + "/commands.out";
    fs::create_directories(home + "/tmp");
    ::setenv("ODBCSYSINI", home.c_str(), 1);
    ::setenv("ODBCINI", (home + "/odbc.ini").c_str(), 1);
    ::setenv("TMPDIR", (home + "/tmp").c_str(), 1);
    const int smtpPort = FreePort();
    const int pop3Port = FreePort();
    auto velmora = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {o.program, "--home", home});
        return Run(args, log);
    };
    const long perUser = (o.messages + kUsers - 1) / kUsers;
    const std::string limitKb = std::to_string(std::max(10240L, perUser * static_cast<long>(kSize / 1024 + 2) * 2));
    bool ready = Run({o.program, "setup", "--home", home, "--postmaster-password", "postmaster1"}, log) &&
                 velmora({"reg", "set", "Ports", "SMTP Port", "dword", std::to_string(smtpPort)}) &&
                 velmora({"reg", "set", "Ports", "POP3 Port", "dword", std::to_string(pop3Port)});
    for (int u = 0; ready && u < kUsers; ++u)
        ready = velmora({"account", "add", User(u), "--password", kPassword, "--email", User(u) + "@localhost",
                         "--mailbox-limit", limitKb});
    if (!ready) {
        std::cerr << "pop3_bench: the home could not be provisioned:\n" << ReadAll(log);
        return 1;
    }

    Peer velmoraPeer;
    velmoraPeer.name = "velmora";
    velmoraPeer.port = pop3Port;
    velmoraPeer.start = [&](ServerProcess& server) {
        if (!server.Start({o.program, "--home", home, "run"}, home + "/server.out")) return false;
        const auto until = Clock::now() + 30s;
        while (Clock::now() < until && server.Running()) {
            if (server.Output().find("velmora: serving") != std::string::npos) return true;
            std::this_thread::sleep_for(10ms);
        }
        return false;
    };
    velmoraPeer.why = [](ServerProcess& server) { return server.Output(); };

    // ---- the messages, over SMTP, untimed ----
    std::vector<std::string> inboxes;
    {
        ServerProcess server;
        if (!velmoraPeer.start(server) || !WaitListening(server, smtpPort, 30s)) {
            std::cerr << "pop3_bench: velmora did not start:\n" << server.Output();
            return 1;
        }
        std::atomic<long> failed{0};
        std::vector<std::thread> senders;
        for (int s = 0; s < kUsers; ++s)
            senders.emplace_back([&, s] {
                SmtpClient client;
                if (!client.Connect(smtpPort)) {
                    failed += 1;
                    return;
                }
                const std::string to = User(s) + "@localhost";
                for (long m = s; m < o.messages; m += kUsers)
                    if (!client.SendMail("bench@localhost", to, MakeMessage(kSize, to, "m" + std::to_string(m)))) {
                        failed += 1;
                        return;
                    }
                client.Send("QUIT\r\n");
            });
        for (std::thread& t : senders) t.join();
        // Each account's Inbox, in user order, from its Accounts row.
        const std::string rows = home + "/mailboxes.out";
        Run({"sqlite3", "-batch", "-noheader", home + "/velmora.db",
             "SELECT aMailBox FROM Accounts WHERE aUserName LIKE 'user%' ORDER BY aUserName"},
            rows);
        std::istringstream in(ReadAll(rows));
        for (std::string box; std::getline(in, box);)
            if (!box.empty()) inboxes.push_back(home + "/mail/" + box + "/Inbox");
        const auto until = Clock::now() + 600s;
        while (CountFiles(inboxes, ".mel") < static_cast<std::size_t>(o.messages) && Clock::now() < until)
            std::this_thread::sleep_for(50ms);
        server.Stop();
        if (failed || inboxes.size() != kUsers || CountFiles(inboxes, ".mel") != static_cast<std::size_t>(o.messages)) {
            std::cerr << "pop3_bench: " << CountFiles(inboxes, ".mel") << " of " << o.messages << " messages in "
                      << inboxes.size() << " mailboxes were stored, " << failed << " sessions failed\n"
                      << server.Output();
            return 1;
        }
    }
    // The stored files, per account.
    std::vector<std::vector<std::string>> mail(kUsers);
    for (int u = 0; u < kUsers; ++u) {
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(inboxes[static_cast<std::size_t>(u)], ec))
            if (e.path().extension() == ".mel") mail[static_cast<std::size_t>(u)].push_back(e.path().string());
        std::sort(mail[static_cast<std::size_t>(u)].begin(), mail[static_cast<std::size_t>(u)].end());
    }

    std::vector<Peer*> peers;
    if (!o.skipVelmora) {
        // The POP3 listener comes with the POP3 server module; without it
        // this half has nothing to measure.
        ServerProcess server;
        if (!velmoraPeer.start(server)) {
            std::cerr << "pop3_bench: velmora did not start:\n" << server.Output();
            return 1;
        }
        if (WaitListening(server, pop3Port, 10s))
            peers.push_back(&velmoraPeer);
        else
            std::printf(
                "velmora: no POP3 listener on 127.0.0.1:%d (is POP3_Server.so in the Servers list?); "
                "its half is skipped\n",
                pop3Port);
        server.Stop();
    }

    Peer dovecotPeer;
    UserNamespace ns;
    const std::string dovecotRoot = tmpl + "/dovecot";
    if (!o.skipDovecot) {
        dovecotPeer.name = "dovecot";
        dovecotPeer.port = FreePort();
        std::string why = ns.Configure(o.usernsBase);
        if (why.empty()) {
            ns.binds = {{dovecotRoot + "/etc/passwd", "/etc/passwd"}, {dovecotRoot + "/etc/group", "/etc/group"}};
            why = PrepareDovecot(dovecotRoot, dovecotPeer.port, mail, ns);
        }
        if (!why.empty()) {
            std::cerr << "pop3_bench: Dovecot cannot run: " << why << "\n";
            return 1;
        }
        dovecotPeer.start = [&](ServerProcess& server) {
            return server.Start({kDovecot, "-F", "-c", dovecotRoot + "/etc/dovecot.conf"}, dovecotRoot + "/master.out",
                                &ns) &&
                   WaitListening(server, dovecotPeer.port, 30s);
        };
        dovecotPeer.why = [&](ServerProcess& server) {
            const std::string text = server.Output() + ReadAll(dovecotRoot + "/log/dovecot.log");
            return text.size() > 4000 ? text.substr(text.size() - 4000) : text;
        };
        peers.push_back(&dovecotPeer);
    }
    if (peers.empty()) {
        std::printf("nothing to measure\n");
        return 1;
    }

    std::printf(
        "POP3 retrieval: %d messages of %zu bytes, %d accounts, one session each (LIST, RETR each), "
        "files on %s\n",
        o.messages, kSize, kUsers, FileSystemName(tmpl));
    if (!o.skipDovecot) {
        FILE* version = ::popen((std::string(kDovecot) + " --version").c_str(), "r");
        char line[128] = "";
        if (version && std::fgets(line, sizeof line, version)) std::printf("dovecot %s", line);
        if (version) ::pclose(version);
    }
    for (int round = 0; round <= o.rounds; ++round)
        for (Peer* peer : peers)
            if (!peer->failed) RunRound(*peer, round, o.messages);

    std::printf("medians over %d rounds:\n", o.rounds);
    for (const Peer* peer : peers)
        std::printf("  %-8s %8.0f msg/s  %.3f s CPU per 1,000 messages%s\n", peer->name.c_str(),
                    MedianOf(peer->rounds, &Retrieval::Rate), MedianOf(peer->rounds, &Retrieval::CpuPer1000),
                    peer->failed ? "  (FAILED)" : "");
    if (peers.size() == 2 && !velmoraPeer.failed && !dovecotPeer.failed) {
        const double dRate = MedianOf(dovecotPeer.rounds, &Retrieval::Rate);
        const double dCpu = MedianOf(dovecotPeer.rounds, &Retrieval::CpuPer1000);
        std::printf("  velmora/dovecot: rate %.2f, CPU per message %.2f\n",
                    dRate > 0 ? MedianOf(velmoraPeer.rounds, &Retrieval::Rate) / dRate : 0.0,
                    dCpu > 0 ? MedianOf(velmoraPeer.rounds, &Retrieval::CpuPer1000) / dCpu : 0.0);
    }
    return velmoraPeer.failed || dovecotPeer.failed ? 1 : 0;
}
