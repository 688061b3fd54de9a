// BenchRspamd: one rspamd for both servers' rounds.
#include "BenchRspamd.h"

#include <unistd.h>

#include <filesystem>
#include <thread>
#include <vector>

#include "BenchSupport.h"

namespace bench {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::string BenchRspamd::Start(const std::string& config, const std::string& dir, bool unixMilter) {
    if (::access("/usr/bin/rspamd", X_OK) != 0) return "rspamd is not installed (apt-get install rspamd)";
    if (Run({"/usr/bin/rspamd", "--version"}, dir + "/rspamd.version", 30)) {
        version_ = ReadAll(dir + "/rspamd.version");
        if (const auto end = version_.find('\n'); end != std::string::npos) version_.erase(end);
    }
    normalPort_ = FreePort();
    const int milterPort = FreePort();
    const std::string socketPath = dir + "/milter.sock";
    // Postfix runs under other ids: the directory must let them reach the socket.
    if (unixMilter) fs::permissions(dir, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    milter_ = unixMilter ? "unix:" + socketPath : "inet:127.0.0.1:" + std::to_string(milterPort);
    const std::string milterSocket = unixMilter ? socketPath + " mode=0666" : "127.0.0.1:" + std::to_string(milterPort);
    std::vector<std::string> argv = {"/usr/bin/rspamd",
                                     "-f",
                                     "-c",
                                     config,
                                     "--var",
                                     "BENCHDIR=" + dir,
                                     "--var",
                                     "NORMALPORT=" + std::to_string(normalPort_),
                                     "--var",
                                     "MILTERSOCKET=" + milterSocket};
    // rspamd drops root unless told to stay.
    if (::geteuid() == 0) argv.insert(argv.end(), {"-i", "-u", "root", "-g", "root"});
    if (!process_.Start(argv, dir + "/rspamd.out")) return "rspamd did not start";
    // It compiles its tables before it listens.
    const auto until = Clock::now() + 120s;
    while (Clock::now() < until && process_.Running()) {
        if (Listening(normalPort_) && (unixMilter ? fs::exists(socketPath) : Listening(milterPort))) return "";
        std::this_thread::sleep_for(50ms);
    }
    return "rspamd did not listen:\n" + process_.Output() + ReadAll(dir + "/rspamd.log");
}

}  // namespace bench
