// ControlCommand: the shell's requests to the running server.
//   velmora send-receive   start a send and receive cycle (at the server's next tick)
//   velmora status         whether a cycle runs, its step and last status lines, the queue
//   velmora status --json  the same and more as one JSON object, for scripts and monitors
//   velmora stop           stop the server as SIGTERM does, and wait until it has
// Each says so in one sentence, and exits 1, when no server runs on the home.
#pragma once

#include <ostream>
#include <string>
#include <vector>

class ControlCommand {
public:
    // command is "send-receive", "status" or "stop". Exit code: 0 done,
    // 1 no server or a failed exchange, 64 bad usage.
    static int Run(const std::string& command, const std::string& home, const std::vector<std::string>& args,
                   std::ostream& out, std::ostream& err);
    static void PrintUsage(const std::string& command, std::ostream& out);
};
