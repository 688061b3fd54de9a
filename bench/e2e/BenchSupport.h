// Small helpers shared by the benchmarks: clocks, files, bounded child
// commands, loopback ports, /proc readings and the defaults of their options.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point from, Clock::time_point to);

std::string ReadAll(const std::string& path);

// Runs a command to its end (bounded by timeoutSeconds, then killed), its
// output appended to outputPath; true on exit code 0.
bool Run(const std::vector<std::string>& argv, const std::string& outputPath, int timeoutSeconds = 60);

// A loopback TCP port nobody listens on right now.
int FreePort();

// True while something listens on 127.0.0.1:port (read from /proc/net/tcp).
bool Listening(int port);

// True when 127.0.0.1:port accepts a connection (whatever address the
// server bound, the wildcard included).
bool Accepts(int port);

// The name of the file system path is on, for the figures' heading.
const char* FileSystemName(const std::string& path);

// Files in dirs whose name ends with suffix ("" counts every file).
std::size_t CountFiles(const std::vector<std::string>& dirs, const std::string& suffix);

// A dot-stuffed message of size bytes (before the end-of-data line), ending
// with CR LF "." CR LF.
std::string MakeMessage(std::size_t size, const std::string& to, const std::string& subject);

// The median of values (0 when empty).
double Median(std::vector<double> values);

// The program next to the running benchmark (build/X/bench/NAME ->
// build/X/bin/velmora), for when --program is not given.
std::string ProgramNextToBenchmark();
// $TMPDIR, else /tmp, for when --dir is not given.
std::string DefaultTempDir();

}  // namespace bench
