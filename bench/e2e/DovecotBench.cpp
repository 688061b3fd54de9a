// Dovecot's POP3 server as a benchmark's peer, in a root and a user
// namespace of its own.
#include "DovecotBench.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <utility>

#include "BenchSupport.h"

namespace bench {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

bool WriteText(const std::string& path, const std::string& text) {
    FILE* f = std::fopen(path.c_str(), "w");
    if (!f) return false;
    const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    return std::fclose(f) == 0 && ok;
}

// One protocol, no TLS, everything it keeps under the root; room for a
// thousand idle sessions from one address (one process each).
const char* const kConfiguration = R"(protocols = @PROTOCOL@
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
default_process_limit = 1500
default_client_limit = 4000
mail_max_userip_connections = 2000
passdb {
  driver = passwd-file
  args = @ROOT@/etc/users
}
userdb {
  driver = passwd-file
  args = @ROOT@/etc/users
}
service @PROTOCOL@-login {
  inet_listener @PROTOCOL@ {
    address = 127.0.0.1
    port = @PORT@
  }
  inet_listener @PROTOCOL@s {
    port = 0
  }
}
)";

}  // namespace

std::string DovecotBench::Prepare(const std::string& root, const std::vector<std::string>& users,
                                  const std::string& password, unsigned long namespaceBase,
                                  const std::string& protocol) {
    root_ = root;
    users_ = users;
    port_ = FreePort();
    if (::access(kBinary, X_OK) != 0) return std::string(kBinary) + " is missing (scripts/install-deps)";
    if (const std::string why = ns_.Configure(namespaceBase); !why.empty()) return why;
    ns_.binds = {{root + "/etc/passwd", "/etc/passwd"}, {root + "/etc/group", "/etc/group"}};
    for (const char* d : {"etc", "run", "state", "log", "mail"}) fs::create_directories(root + "/" + d);
    // Inside the namespace: dovecot and dovenull for its own processes, vmail owns the mail.
    const std::string passwd =
        "root:x:0:0:root:/root:/bin/sh\ndovecot:x:101:101::/nonexistent:/usr/sbin/nologin\n"
        "dovenull:x:102:102::/nonexistent:/usr/sbin/nologin\nvmail:x:1000:1000::/nonexistent:/usr/sbin/nologin\n"
        "nobody:x:65534:65534::/nonexistent:/usr/sbin/nologin\n";
    const std::string group = "root:x:0:\ndovecot:x:101:\ndovenull:x:102:\nvmail:x:1000:\nnogroup:x:65534:\n";
    std::string entries;
    for (const std::string& user : users)
        entries += user + ":{PLAIN}" + password + ":1000:1000::" + root + "/mail/" + user + "::\n";
    std::string conf = kConfiguration;
    for (const auto& [mark, value] :
         {std::pair<std::string, std::string>{"@ROOT@", root}, {"@PORT@", std::to_string(port_)},
          {"@PROTOCOL@", protocol}})
        for (std::size_t at = 0; (at = conf.find(mark, at)) != std::string::npos; at += value.size())
            conf.replace(at, mark.size(), value);
    if (!WriteText(root + "/etc/passwd", passwd) || !WriteText(root + "/etc/group", group) ||
        !WriteText(root + "/etc/users", entries) || !WriteText(root + "/etc/dovecot.conf", conf))
        return "cannot write its configuration under " + root;
    for (const std::string& maildir : Maildirs())
        for (const char* d : {"/cur", "/new", "/tmp"}) fs::create_directories(maildir + d);
    if (!HandOver(true)) return "cannot hand its root to the namespace:\n" + ReadAll(root + "/prepare.out");
    return "";
}

std::string DovecotBench::Fill(const std::vector<std::vector<std::string>>& mail, bool seen) {
    if (mail.size() != users_.size()) return "one list of messages per user is needed";
    // Names not used before, so that no earlier fill's index entry is taken for them.
    const std::string fill = std::to_string(++fills_);
    const std::vector<std::string> maildirs = Maildirs();
    for (std::size_t u = 0; u < maildirs.size(); ++u) {
        std::error_code ec;
        std::vector<fs::path> old;
        for (const char* d : {"/cur", "/new"})
            for (const auto& e : fs::directory_iterator(maildirs[u] + d, ec)) old.push_back(e.path());
        for (const fs::path& p : old) fs::remove(p, ec);
        for (std::size_t m = 0; m < mail[u].size(); ++m) {
            fs::copy_file(mail[u][m], maildirs[u] + "/cur/1765000000.M" + std::to_string(m) + "P" + fill + ".bench:2," + (seen ? "S" : ""),
                          ec);
            if (ec) return "cannot copy " + mail[u][m] + ": " + ec.message();
        }
    }
    if (!HandOver(false)) return "cannot hand the mail to the namespace:\n" + ReadAll(root_ + "/prepare.out");
    return "";
}

bool DovecotBench::HandOver(bool wholeRoot) const {
    if (!ns_.asRoot) return true;
    const std::string rootId = std::to_string(ns_.base), vmail = std::to_string(ns_.base + 1000);
    return (!wholeRoot || Run({"chown", "-R", rootId + ":" + rootId, root_}, root_ + "/prepare.out")) &&
           Run({"chown", "-R", vmail + ":" + vmail, root_ + "/mail"}, root_ + "/prepare.out");
}

bool DovecotBench::Start(ServerProcess& server) const {
    return server.Start({kBinary, "-F", "-c", root_ + "/etc/dovecot.conf"}, root_ + "/master.out", &ns_) &&
           server.WaitAccepting(port_, 30s);
}

std::size_t DovecotBench::Stored() const {
    std::vector<std::string> dirs;
    for (const std::string& maildir : Maildirs()) dirs.insert(dirs.end(), {maildir + "/cur", maildir + "/new"});
    return CountFiles(dirs, "");
}

std::string DovecotBench::Version() const {
    FILE* version = ::popen((std::string(kBinary) + " --version").c_str(), "r");
    char line[128] = "";
    const bool read = version && std::fgets(line, sizeof line, version);
    if (version) ::pclose(version);
    return read ? line : "";
}

std::string DovecotBench::Why(const ServerProcess& server) const {
    const std::string text = server.Output() + ReadAll(root_ + "/log/dovecot.log");
    return text.size() > 4000 ? text.substr(text.size() - 4000) : text;
}

std::vector<std::string> DovecotBench::Maildirs() const {
    std::vector<std::string> dirs;
    for (const std::string& user : users_) dirs.push_back(root_ + "/mail/" + user);
    return dirs;
}

}  // namespace bench
