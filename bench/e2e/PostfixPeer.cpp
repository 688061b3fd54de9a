// Postfix as the benchmark's peer, in a root and a user namespace of its own.
#include "PostfixPeer.h"

#include <unistd.h>

#include <filesystem>
#include <thread>

#include "BenchSupport.h"

namespace bench {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::string PostfixPeer::Prepare(const std::string& script, const std::string& root, int port, const std::string& deb,
                                 unsigned long namespaceBase) {
    root_ = root;
    port_ = port;
    if (const std::string why = ns_.Configure(namespaceBase); !why.empty()) return why;
    // The namespace's binds: its own users and groups over the system's.
    ns_.binds = {{root + "/etc/passwd", "/etc/passwd"}, {root + "/etc/group", "/etc/group"}};
    // The script is copied into the root so that the namespace's ids can read it.
    std::error_code ec;
    fs::copy_file(script, root + "/postfix_peer.sh", fs::copy_options::overwrite_existing, ec);
    if (ec) return "cannot copy " + script + ": " + ec.message();
    const std::string owner = ns_.asRoot ? std::to_string(ns_.base) + ":" + std::to_string(ns_.base) : std::string("-");
    std::vector<std::string> argv = {"/bin/sh", root + "/postfix_peer.sh", "prepare",
                                     root,      std::to_string(port),      owner};
    if (!deb.empty()) argv.push_back(deb);
    if (!Run(argv, root + "/prepare.out", 600))
        return "its root could not be prepared:\n" + ReadAll(root + "/prepare.out");
    version_ = ReadAll(root + "/version");
    while (!version_.empty() && (version_.back() == '\n' || version_.back() == '\r')) version_.pop_back();
    return "";
}

bool PostfixPeer::Start(ServerProcess& server) const {
    if (!server.Start({"/bin/sh", root_ + "/postfix_peer.sh", "start", root_}, root_ + "/master.out", &ns_))
        return false;
    const auto until = Clock::now() + 30s;
    while (Clock::now() < until && server.Running()) {
        if (Listening(port_)) return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

std::vector<std::string> PostfixPeer::NewDirectories() const {
    std::vector<std::string> dirs;
    for (int u = 0; u < 10; ++u) dirs.push_back(root_ + "/mail/user" + std::to_string(u) + "/new");
    return dirs;
}

std::string PostfixPeer::Mapping() const {
    if (ns_.asRoot)
        return "uid/gid 0-" + std::to_string(ns_.count - 1) + " inside = " + std::to_string(ns_.base) + "-" +
               std::to_string(ns_.base + ns_.count - 1) + " outside";
    return "uid 0 inside = uid " + std::to_string(::getuid()) + ", 1-" + std::to_string(ns_.subCount) +
           " = subordinate " + std::to_string(ns_.subUid) + "-";
}

std::string PostfixPeer::LogTail() const {
    const std::string log = ReadAll(root_ + "/log/maillog") + ReadAll(root_ + "/master.out");
    return log.size() > 4000 ? log.substr(log.size() - 4000) : log;
}

}  // namespace bench
