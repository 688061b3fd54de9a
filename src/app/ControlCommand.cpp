// ControlCommand: send-receive, status and stop through the control socket.
#include "app/ControlCommand.h"

#include <signal.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "app/CControlClient.h"
#include "platform/JsonWriter.h"

namespace {

constexpr int kDone = 0;
constexpr int kRefused = 1;
constexpr int kUsage = 64;
// A server finishing a delivery pass may take a while to stop.
constexpr std::chrono::seconds kStopWait{120};

}  // namespace

void ControlCommand::PrintUsage(const std::string& command, std::ostream& out) {
    if (command == "send-receive")
        out << "usage: velmora [--home DIR] send-receive\n"
               "Asks the running server for a send and receive cycle; it starts at the server's next tick\n"
               "unless one is running already. `velmora status` shows its progress.\n";
    else if (command == "status")
        out << "usage: velmora [--home DIR] status [--json]\n"
               "Shows whether the running server is in a send and receive cycle, its step, its last\n"
               "status lines (newest first) and the outbound queue's counts.\n"
               "--json: one JSON object for scripts and monitors: also the sessions per listener, the last\n"
               "delivery error, the uptime in seconds and the process id; {\"running\":false} (exit 1)\n"
               "when no server runs.\n";
    else
        out << "usage: velmora [--home DIR] stop\n"
               "Stops the running server as SIGTERM does and waits until it has stopped.\n";
}

int ControlCommand::Run(const std::string& command, const std::string& home, const std::vector<std::string>& args,
                        std::ostream& out, std::ostream& err) {
    const bool json = command == "status" && args.size() == 1 && args[0] == "--json";
    if (!args.empty() && !json) {
        PrintUsage(command, err);
        return kUsage;
    }
    std::string reply, error;
    switch (CControlClient::Request(home, json ? "status-json" : command, reply, error)) {
        case CControlClient::Result::NoServer:
            if (json) out << "{\"running\":false}\n";
            err << "velmora " << command << ": no server is running on the home " << home << "\n";
            return kRefused;
        case CControlClient::Result::Failed:
            if (json) out << "{\"running\":false,\"error\":" << JsonWriter::Quote(error) << "}\n";
            err << "velmora " << command << ": " << error << "\n";
            return kRefused;
        case CControlClient::Result::Replied:
            break;
    }
    // "OK" or "ERR why" on the first line, what to show after it.
    const std::size_t end = reply.find('\n');
    const std::string head = reply.substr(0, end);
    const std::string body = end == std::string::npos ? "" : reply.substr(end + 1);
    if (head != "OK") {
        err << "velmora " << command << ": " << (head.rfind("ERR ", 0) == 0 ? head.substr(4) : head) << "\n";
        return kRefused;
    }
    out << body << (json ? "\n" : "");
    if (command != "stop") return kDone;
    // The socket goes as the server's last step; a server that dies on the
    // way leaves it, so its process is watched too.
    const std::size_t at = body.find("process ");
    const long pid = at == std::string::npos ? 0 : std::strtol(body.c_str() + at + 8, nullptr, 10);
    auto alive = [pid] { return pid <= 0 || ::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH; };
    const auto deadline = std::chrono::steady_clock::now() + kStopWait;
    while (CControlClient::SocketExists(home) && alive()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            err << "velmora stop: the server on the home " << home << " is still stopping after " << kStopWait.count()
                << " seconds\n";
            return kRefused;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    out << "The server on the home " << home << " has stopped\n";
    return kDone;
}
