// The rspamd a benchmark run filters with: one process for the whole run,
// its normal worker for Velmora's /checkv2 and its proxy worker in milter
// mode for Postfix, from rspamd-bench.conf, everything under the run's
// directory; stopped with the run.
#pragma once

#include <string>

#include "ServerProcess.h"

namespace bench {

class BenchRspamd {
public:
    // Starts it with config under dir and waits (bounded) until both
    // workers listen. Empty on success, else why not.
    std::string Start(const std::string& config, const std::string& dir);
    // http://127.0.0.1:port of the normal worker.
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(normalPort_); }
    // The milter port, for Postfix's smtpd_milters.
    int MilterPort() const { return milterPort_; }
    // User+system seconds of all its processes so far.
    double CpuSeconds() const { return process_.TreeCpuSeconds(); }
    const std::string& Version() const { return version_; }

private:
    ServerProcess process_;
    std::string version_;
    int normalPort_ = 0;
    int milterPort_ = 0;
};

}  // namespace bench
