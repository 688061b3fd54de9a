// LogRetention: the diagnostic log files of earlier days compressed, and
// those past the retention removed, by the server itself.
//
// The log is a file per start ("DDMMYYYYHHMM.log", the UTC time it was
// opened), and a running server starts a new one at each UTC midnight, so
// a file's name tells its day. A file of an earlier day than the one given
// as today, other than the open one, becomes "<name>.gz" (written, synced,
// then the plain file removed: a crash leaves one of the two whole); a file
// or its compressed form whose day is more than the retention's days before
// today is removed. Other files in the directory are not touched.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

namespace logretention {

struct SweepResult {
    std::size_t compressed = 0;
    std::size_t removed = 0;
};

// The UTC day of a log file's name as "YYYYMMDD" (also of "<name>.gz");
// "" for any other name.
std::string DayOf(const std::string& fileName);

// Sweeps directory; openFile is the path being written (never touched).
SweepResult Sweep(const std::string& directory, const std::string& openFile, std::time_t now, std::uint32_t days);

// path to path + ".gz" (gzip format), the plain file removed once the
// compressed one is on disk; false with error otherwise (nothing removed).
bool CompressFile(const std::string& path, std::string& error);

}  // namespace logretention
