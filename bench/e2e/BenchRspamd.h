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
    // workers listen; the milter on a loopback port, or on dir/milter.sock
    // (open to every user) with unixMilter. Empty on success, else why not.
    std::string Start(const std::string& config, const std::string& dir, bool unixMilter);
    // http://127.0.0.1:port of the normal worker.
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(normalPort_); }
    // The milter as Postfix's smtpd_milters names it.
    const std::string& Milter() const { return milter_; }
    // User+system seconds of all its processes so far.
    double CpuSeconds() const { return process_.TreeCpuSeconds(); }
    const std::string& Version() const { return version_; }

private:
    ServerProcess process_;
    std::string version_;
    int normalPort_ = 0;
    std::string milter_;
};

}  // namespace bench
