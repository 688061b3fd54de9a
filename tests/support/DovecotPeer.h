// DovecotPeer: a real Dovecot POP3 server for the tests, on a free loopback
// port, with its own configuration, users and Maildir mailboxes in a
// temporary directory (nothing under /etc/dovecot, no system service). The
// users are a passwd-file; the test fills their mailboxes. Each message's
// unique id is the name the test gave it (pop3_uidl_format = %f), so a test
// knows what the client will see.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "TestPeers.h"

class DovecotPeer {
public:
    static constexpr const char* kProgram = "/usr/sbin/dovecot";
    // The owner of the mailboxes (Dovecot serves no mail as root).
    static constexpr int kMailUid = 1000;

    DovecotPeer();
    ~DovecotPeer();
    DovecotPeer(const DovecotPeer&) = delete;
    DovecotPeer& operator=(const DovecotPeer&) = delete;

    // Before Start: one user with an empty mailbox.
    void AddUser(const std::string& user, const std::string& password);
    // Before Start: ssl = required with this certificate (plain logins
    // refused before STLS), and TLS from the first byte on implicitPort
    // too unless it is 0.
    void RequireTls(const std::string& certificateFile, const std::string& keyFile, int implicitPort);
    // Writes the configuration and starts the server; false with the reason in Why().
    bool Start();
    int Port() const { return port; }
    // Puts a message into the user's mailbox (any time; new mail appears to
    // the next session). The name becomes its unique id: letters and digits.
    bool AddMessage(const std::string& user, const std::string& name, const std::string& text);
    // Deletes the message as another client of the mailbox would; false when it is not there.
    bool RemoveMessage(const std::string& user, const std::string& name);
    // Messages in the user's mailbox now (new and seen ones).
    int MessageCount(const std::string& user) const;
    // The server's output and log, for a failure message.
    std::string Why() const;
    const std::string& Directory() const { return root; }

private:
    std::string Maildir(const std::string& user) const { return root + "/mail/" + user; }

    std::string root;
    std::vector<std::pair<std::string, std::string>> users;
    int port = 0;
    int tlsPort = 0;
    std::string certificate;
    std::string key;
    int sequence = 0;
    ChildProcess server;
    std::string why;
};
