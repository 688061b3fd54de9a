// MovedHome: a home moved or restored into another directory.
//
// `velmora setup` writes absolute paths below the home: the database file
// in odbc.ini, the settings Storage\Mail Directory, Log\Log Directory and
// Corvane\LogDir, and the TLS certificate and key files it made. After a move they still name the old directory, and a
// copied home would even go on using the old database. The old directory is
// recognised when at least two of them still read <old>/<what setup
// wrote>; the repair points exactly those at the new home and leaves a path
// an administrator set elsewhere as it is.
#pragma once

#include <string>
#include <vector>

class MovedHome {
public:
    // The directory the home was provisioned in, when that is not home; else empty.
    static std::string FormerDirectory(const std::string& home);
    // Rewrites the paths that read former/<name> as home/<name>; repaired gets
    // one line per change. False with error when a file could not be written.
    static bool Repair(const std::string& home, const std::string& former, std::vector<std::string>& repaired,
                       std::string& error);
};
