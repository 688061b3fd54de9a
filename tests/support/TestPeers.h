// Test peers and processes: programs run with a bounded wait, child
// processes that are always killed and reaped, real servers (aiosmtpd, dnsmasq) on free
// loopback ports, and a scripted TCP peer for replies no real server sends
// on demand. Every wait here is bounded so a broken client fails a test
// instead of hanging it.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/UniqueFd.h"

struct RunResult {
    int status = -1;  // exit code; -1 when killed by a signal or on time-out
    bool timedOut = false;
    std::string output;  // standard output and error together
};

// Runs argv[0] (a path, or a name looked up in PATH) with extra environment
// entries ("NAME=value", replacing inherited ones) and standard input from
// /dev/null; past the limit the child's process group is killed.
RunResult RunProgram(const std::vector<std::string>& argv, std::chrono::milliseconds limit = std::chrono::seconds(60),
                     const std::vector<std::string>& extraEnvironment = {});
// How often the waits here look again: short, so a test waits little longer
// than the event it waits for.
inline constexpr std::chrono::milliseconds kPollInterval{20};
// Polls condition every kPollInterval until it holds or the wait runs out.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds wait);

// A loopback port that was free a moment ago.
int FreePort();
// A loopback port on which nothing listens (connections are refused).
int ClosedPort();
// True once something accepts TCP connections on 127.0.0.1:port.
bool WaitForPort(int port, std::chrono::milliseconds wait = std::chrono::seconds(20));

// A private authority (directory/ca.pem) and its certificate for the name
// "localhost" only (directory/server.pem, server.key), made with the openssl
// command; "" when done, else why not.
std::string MakeTestCertificates(const std::string& directory);

// Registry values for a test home.
void SetSettingDword(const char* keyPath, const char* name, unsigned value);
void SetSettingString(const char* keyPath, const char* name, const std::string& value);
void DeleteSetting(const char* keyPath, const char* name);

// A child process in its own process group; the destructor kills the group
// and reaps the child.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess() { Stop(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Standard output and error go to outputPath; extra environment entries as for RunProgram.
    bool Start(const std::vector<std::string>& argv, const std::string& outputPath,
               const std::vector<std::string>& extraEnvironment = {});
    // kill -9 of the whole group, and reap.
    void Stop();
    bool Signal(int signal);
    // True when the child ended within the wait (then ExitCode() tells how).
    bool WaitExit(std::chrono::milliseconds wait);
    // The exit code of an ended child; -1 when a signal ended it.
    int ExitCode() const;
    pid_t Pid() const { return pid; }
    std::string Output() const;

protected:
    // True once the child has ended (and is reaped).
    bool Reap(bool block);

    pid_t pid = -1;

private:
    int status = 0;
    std::string outputPath;
};

// aiosmtpd on a free loopback port, recording accepted messages (smtp_peer.py).
class SmtpPeer {
public:
    // Without user, no AUTH; with required, MAIL needs a login first; with
    // cramOnly, CRAM-MD5 is the only mechanism offered.
    bool Start(const std::string& recordDirectory, const std::string& user = "", const std::string& password = "",
               bool required = false, bool cramOnly = false);
    // With TLS: modes as smtp_peer.py takes them ("starttls,required", "offer", "implicit").
    bool StartTls(const std::string& recordDirectory, const std::string& user, const std::string& password,
                  const std::string& modes, const std::string& certificate, const std::string& key);
    // The mechanism of each successful login, one per line.
    std::string Logins() const;
    int Port() const { return port; }
    // Waits for message n (1-based) and gives its text, its envelope
    // ("sender\nrecipient\n...") to envelope; "" when it did not arrive.
    std::string Message(int n, std::string* envelope = nullptr,
                        std::chrono::milliseconds wait = std::chrono::seconds(10)) const;
    int MessageCount() const;
    // Whether message n came over TLS.
    bool Encrypted(int n) const;

private:
    ChildProcess process;
    std::string directory;
    int port = 0;
};

// dnsmasq on a free loopback port answering from its command line only.
class DnsPeer {
public:
    bool Start(const std::string& logPath, const std::vector<std::string>& records);
    int Port() const { return port; }
    // "127.0.0.1:port", the form of a DNS settings entry.
    std::string Entry() const;
    // MX queries the server has logged for name.
    int QueryCount(const std::string& name) const;

private:
    ChildProcess process;
    std::string log;
    int port = 0;
};

// One accepted connection of a ScriptedPeer.
class PeerLink {
public:
    explicit PeerLink(int fd) : fd(fd) {}
    bool Send(const std::string& text);
    // One line including its line end; false on close or after `wait`.
    bool ReadLine(std::string& line, std::chrono::milliseconds wait = std::chrono::seconds(10));
    // Reads until the received text ends with terminator; everything read.
    bool ReadUntil(const std::string& terminator, std::string& text,
                   std::chrono::milliseconds wait = std::chrono::seconds(10));
    // True when bytes arrive within wait.
    bool Readable(std::chrono::milliseconds wait);

private:
    int fd;
    std::string pending;
};

// A TCP server on a free loopback port that runs a script for each of
// `connections` accepted connections, on its own thread.
class ScriptedPeer {
public:
    using Script = std::function<void(PeerLink&)>;
    explicit ScriptedPeer(Script script, int connections = 1);
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    int Port() const { return port; }
    // Waits until every script has ended.
    void Join();

private:
    UniqueFd listener;
    int port = 0;
    std::thread worker;
};

// An SMTP peer that takes one session up to a message's data, then falls silent.
class SilentSmtpPeer {
public:
    SilentSmtpPeer();
    int Port() const { return peer.Port(); }

    std::atomic<int> transactions{0};     // MAIL commands taken
    std::atomic<bool> dataEnded{false};  // the end of data arrived

private:
    ScriptedPeer peer;
};
