// The frame the POP3 and IMAP benchmarks share: their common options, a
// fresh home with kUsers accounts given --messages messages of kSize bytes
// over SMTP, the peers compared (Velmora when its listener for the protocol
// answers, Dovecot on copies of the same stored files), concurrent sessions
// one per account timed together with the server tree's CPU, and the
// figures' medians and ratios. The benchmark says what a session does and
// prints its own rounds.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "BenchHome.h"
#include "BenchOptions.h"
#include "DovecotBench.h"
#include "RoundFigures.h"
#include "ServerProcess.h"
#include "StoredMail.h"

namespace bench {

class ServedMailBench {
public:
    static constexpr int kUsers = 8;
    static constexpr std::size_t kSize = 4096;

    // One server under test: how it starts and why it did not.
    struct Peer {
        std::string name;
        int port = 0;
        std::function<bool(ServerProcess&)> start;
        std::function<std::string(ServerProcess&)> why;
        bool failed = false;
    };

    // What one timed pass of sessions did; cpu is the server tree's
    // user+system seconds over it.
    struct Pass {
        long messages = 0;
        int failedSessions = 0;
        double seconds = 0;
        double cpu = 0;
        double Rate() const { return seconds > 0 ? static_cast<double>(messages) / seconds : 0; }
        double CpuPer1000() const { return messages ? cpu * 1000.0 / static_cast<double>(messages) : 0; }
    };

    struct Options {
        std::string program;
        std::string dir;
        int messages = 2000;
        int rounds = 1;
        bool skipDovecot = false;
        bool skipVelmora = false;
        unsigned long usernsBase = 1500000000;
    };

    // protocol ("pop3" or "imap") names the run, the listener and module
    // looked for and Dovecot's service; rounds is --rounds' default.
    ServedMailBench(std::string protocol, int rounds);
    ServedMailBench(const ServedMailBench&) = delete;
    ServedMailBench& operator=(const ServedMailBench&) = delete;

    // Reads the command line, the common options added to the benchmark's
    // own already bound in options; true when it parses and they make sense.
    bool Parse(int argc, char** argv, BenchOptions& options);
    // The home made and set up: SMTP and POP3 on free ports, the other
    // listeners off (only the ports under test, nothing a neighbour might
    // hold), kUsers accounts with room for their share. False after saying why.
    bool Provision();
    // The messages delivered (untimed), then the peers chosen: Velmora when
    // it accepts on VelmoraPort() (never when not configured: its settings
    // are missing), Dovecot with the same files, marked seen or not. False
    // after saying why, nothing to measure included.
    bool ChoosePeers(bool velmoraConfigured, bool seen);
    // "title: N messages of ... one session each<sessions>, files on FS",
    // then Dovecot's version when it runs.
    void PrintHeading(const std::string& title, const std::string& sessions) const;
    // round(peer, number, server) for each number from first to the rounds,
    // the peers in turn, each started afresh in server (a peer that does
    // not start failed); a peer left out once it failed.
    void RunRounds(int first, const std::function<void(Peer&, int, ServerProcess&)>& round);
    // Starts the peer in server and waits (bounded) until it accepts; false
    // after saying why.
    bool Start(Peer& peer, ServerProcess& server) const;
    // A round's rate and CPU per 1,000 messages, as the figures "rate"+key
    // and "cpu"+key.
    void Record(const Peer& peer, const std::string& key, const Pass& pass);
    // Each peer's medians of those figures, label before them, then the
    // ratios Velmora/Dovecot when both ran without failing.
    void PrintMedians(const std::string& label, const std::string& key) const;
    // 1 when a peer failed, else 0.
    int ExitCode() const;
    // The error stream, the benchmark's name written first.
    std::ostream& Error() const;

    // The account of user number u.
    static std::string User(int u);
    // session(u) for every account at once, each adding the messages it
    // handled to messages and false when it failed; timed from the first
    // start to the last end, the CPU read settle after that (so that the
    // processes of sessions just ended are reaped and counted).
    static Pass RunSessions(ServerProcess& server, const std::function<bool(int, std::atomic<long>&)>& session,
                            std::chrono::milliseconds settle = std::chrono::milliseconds(0));

    const Options& Args() const { return options_; }
    BenchHome& Home() { return home_; }
    int VelmoraPort() const { return velmora_.port; }
    const std::vector<Peer*>& Peers() const { return peers_; }

private:
    std::string protocol_;
    std::string name_;
    Options options_;
    BenchHome home_;
    int smtpPort_ = 0;
    std::vector<std::string> users_;
    StoredMail stored_;
    DovecotBench dovecot_;
    Peer velmora_;
    Peer dovecotPeer_;
    std::vector<Peer*> peers_;
    RoundFigures figures_;
};

}  // namespace bench
