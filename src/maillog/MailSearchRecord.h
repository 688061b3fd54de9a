// MailSearchRecord: one MAILSTATISTICS row as the mail log search keeps it,
// in the table's column order: who, what, when, which way, how long and
// where in which day's log file the message lies.
#pragma once

#include <cstdint>
#include <string>

struct MailSearchRecord {
    // The text columns are read into buffers of this many bytes (a longer
    // value is cut).
    static constexpr std::size_t kTextBytes = 256;

    std::string from;
    std::string to;
    std::string subject;
    std::string date;
    bool isLocal = false;  // received (delivered locally) rather than sent
    std::uint32_t size = 0;
    std::uint32_t offset = 0;
    std::string day;  // the "%d%m%Y" directory of its log file
};
