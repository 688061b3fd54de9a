// Dovecot's POP3 or IMAP server as a benchmark's peer: the installed
// package's binaries with a configuration of this benchmark's own in a root
// directory (one protocol, 127.0.0.1 and a free port, no TLS, connection
// caps high enough for a thousand sessions, a passwd-file for the
// users, Maildir under the root, base, state and log there too); the
// system's /etc/dovecot and its service are never used. Its master insists
// on root, so it runs as root of a user namespace whose ids are unprivileged
// outside (ServerProcess's UserNamespace), with the root's own passwd and
// group files mounted over the system's for it alone. The users' Maildirs
// can be filled again between runs from files of whole messages.
#pragma once

#include <string>
#include <vector>

#include "ServerProcess.h"

namespace bench {

class DovecotBench {
public:
    static constexpr const char* kBinary = "/usr/sbin/dovecot";

    // Makes root (an empty directory) ready to serve the users, each with
    // password, on a free port: configuration, users, empty Maildirs, all
    // handed to the namespace's ids (from namespaceBase when run as root).
    // protocol is "pop3" or "imap". Empty on success, else why not.
    std::string Prepare(const std::string& root, const std::vector<std::string>& users, const std::string& password,
                        unsigned long namespaceBase, const std::string& protocol = "pop3");
    // Empties each user's Maildir and puts copies of mail[u] into users[u]'s,
    // already in cur/ (so that no session renames files to take them in);
    // marked seen unless told otherwise. Empty on success, else why not.
    std::string Fill(const std::vector<std::vector<std::string>>& mail, bool seen = true);
    // Starts its master in server and waits (bounded) until it accepts.
    bool Start(ServerProcess& server) const;

    // Messages in the users' Maildirs.
    std::size_t Stored() const;
    int Port() const { return port_; }
    const std::string& Root() const { return root_; }
    // `dovecot --version`, with its line end.
    std::string Version() const;
    // The master's output and the end of its log, for a failure's report.
    std::string Why(const ServerProcess& server) const;

private:
    std::vector<std::string> Maildirs() const;
    // The mail to the namespace's vmail (the root to its root); the output
    // goes to root/prepare.out.
    bool HandOver(bool wholeRoot) const;

    UserNamespace ns_;
    std::string root_;
    std::vector<std::string> users_;
    int port_ = 0;
    int fills_ = 0;
};

}  // namespace bench
