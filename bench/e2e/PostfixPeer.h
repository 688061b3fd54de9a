// Postfix as the benchmark's peer: extracted from its Debian package into a
// root of its own (never installed, never the system's mail server) and run
// as the root of a user namespace whose ids are all unprivileged outside.
// The root's layout and configuration are made by postfix_peer.sh.
#pragma once

#include <string>
#include <vector>

#include "ServerProcess.h"

namespace bench {

class PostfixPeer {
public:
    // Makes root (an empty directory) ready to serve 127.0.0.1:port: the
    // package (deb, or fetched when empty) extracted, the configuration
    // written, the whole root handed to the namespace's root. Empty on
    // success, else why not; the script's output goes to root/prepare.out.
    std::string Prepare(const std::string& script, const std::string& root, int port, const std::string& deb,
                        unsigned long namespaceBase);
    // Starts master in server and waits (bounded) until it listens.
    bool Start(ServerProcess& server) const;

    // The users' Maildir "new" directories, where delivered messages land.
    std::vector<std::string> NewDirectories() const;
    std::string Version() const { return version_; }
    const std::string& Root() const { return root_; }
    int Port() const { return port_; }
    // The namespace's root outside, for the heading.
    std::string Mapping() const;
    // The end of the mail log, for a failure's report.
    std::string LogTail() const;

private:
    UserNamespace ns_;
    std::string root_;
    std::string version_;
    int port_ = 0;
};

}  // namespace bench
