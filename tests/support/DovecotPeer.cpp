// DovecotPeer: configuration, users and Maildirs of a private Dovecot, and
// its process. The master runs in the foreground in its own process group,
// so stopping the test peer ends all of Dovecot's processes.
#include "DovecotPeer.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "TestHome.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// POP3 only on 127.0.0.1, everything kept under the root; plain logins
// unless TLS is enabled.
const char* const kConfiguration = R"(protocols = pop3
listen = 127.0.0.1
base_dir = @ROOT@/run
state_dir = @ROOT@/state
log_path = @ROOT@/log/dovecot.log
@SSL@
auth_mechanisms = plain
mail_location = maildir:@ROOT@/mail/%u
pop3_uidl_format = %f
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
    address = 127.0.0.1
    port = @POP3S@
  }
}
service anvil {
  chroot =
}
)";

void Replace(std::string& text, const std::string& mark, const std::string& value) {
    for (std::size_t at = 0; (at = text.find(mark, at)) != std::string::npos; at += value.size())
        text.replace(at, mark.size(), value);
}

void GiveToMailUser(const std::string& path) {
    if (::chown(path.c_str(), DovecotPeer::kMailUid, DovecotPeer::kMailUid) != 0) {
        // Only root may; a test running as another user owns the files anyway.
    }
}

}  // namespace

DovecotPeer::DovecotPeer() {
    const char* tmp = std::getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/velmora-dovecot-XXXXXX";
    if (::mkdtemp(tmpl.data())) root = tmpl;
    // The mail user must reach its mailboxes below.
    ::chmod(root.c_str(), 0755);
}

DovecotPeer::~DovecotPeer() {
    server.Stop();
    std::error_code ec;
    if (!root.empty()) fs::remove_all(root, ec);
}

void DovecotPeer::AddUser(const std::string& user, const std::string& password) {
    users.emplace_back(user, password);
}

bool DovecotPeer::Start() {
    if (root.empty()) {
        why = "no temporary directory";
        return false;
    }
    if (::access(kProgram, X_OK) != 0) {
        why = std::string(kProgram) + " is missing (scripts/install-deps)";
        return false;
    }
    std::error_code ec;
    for (const char* d : {"etc", "run", "state", "log", "mail"}) fs::create_directories(root + "/" + d, ec);
    GiveToMailUser(root + "/mail");
    std::string passwd;
    for (const auto& [user, password] : users) {
        passwd += user + ":{PLAIN}" + password + ":" + std::to_string(kMailUid) + ":" + std::to_string(kMailUid) +
                  "::" + Maildir(user) + "::\n";
        for (const char* d : {"", "/cur", "/new", "/tmp"}) {
            fs::create_directories(Maildir(user) + d, ec);
            GiveToMailUser(Maildir(user) + d);
        }
    }
    port = FreePort();
    std::string conf = kConfiguration;
    Replace(conf, "@ROOT@", root);
    Replace(conf, "@PORT@", std::to_string(port));
    Replace(conf, "@POP3S@", std::to_string(tlsPort));
    Replace(conf, "@SSL@",
            certificate.empty() ? "ssl = no\ndisable_plaintext_auth = no"
                                : "ssl = required\nssl_cert = <" + certificate + "\nssl_key = <" + key +
                                      "\ndisable_plaintext_auth = yes");
    TestHome::WriteFile(root + "/etc/users", passwd);
    TestHome::WriteFile(root + "/etc/dovecot.conf", conf);
    if (!server.Start({kProgram, "-F", "-c", root + "/etc/dovecot.conf"}, root + "/master.out") ||
        !WaitForPort(port, 30s) || (tlsPort != 0 && !WaitForPort(tlsPort, 30s))) {
        why = "Dovecot did not start:\n" + Why();
        server.Stop();
        return false;
    }
    return true;
}

void DovecotPeer::RequireTls(const std::string& certificateFile, const std::string& keyFile, int implicitPort) {
    certificate = certificateFile;
    key = keyFile;
    tlsPort = implicitPort;
}

bool DovecotPeer::AddMessage(const std::string& user, const std::string& name, const std::string& text) {
    // Written aside and moved into new/, as every Maildir delivery does.
    const std::string temporary = Maildir(user) + "/tmp/" + name + "." + std::to_string(++sequence);
    {
        std::ofstream out(temporary, std::ios::binary);
        out << text;
        if (!out.flush()) return false;
    }
    GiveToMailUser(temporary);
    return ::rename(temporary.c_str(), (Maildir(user) + "/new/" + name).c_str()) == 0;
}

bool DovecotPeer::RemoveMessage(const std::string& user, const std::string& name) {
    // Once seen, a message's file name carries its flags after ":".
    bool removed = false;
    std::error_code ec;
    for (const char* d : {"/cur", "/new"})
        for (const auto& entry : fs::directory_iterator(Maildir(user) + d, ec)) {
            const std::string file = entry.path().filename().string();
            if (file == name || file.rfind(name + ":", 0) == 0) removed = fs::remove(entry.path(), ec) || removed;
        }
    return removed;
}

int DovecotPeer::MessageCount(const std::string& user) const {
    int count = 0;
    std::error_code ec;
    for (const char* d : {"/cur", "/new"})
        for (const auto& entry : fs::directory_iterator(Maildir(user) + d, ec))
            count += entry.is_regular_file() ? 1 : 0;
    return count;
}

std::string DovecotPeer::Why() const {
    return why + server.Output() + TestHome::ReadFile(root + "/log/dovecot.log");
}
