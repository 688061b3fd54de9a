// The benchmarks' mail, put into a Velmora home the way mail arrives: the
// home served once, its accounts sent the messages over loopback SMTP by
// one session per account (untimed), and the stored ".mel" files listed per
// account afterwards, so that a yardstick server can be given the same
// bytes.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "BenchHome.h"

namespace bench {

class StoredMail {
public:
    // Serves home on smtpPort until `messages` messages of `size` bytes,
    // spread evenly over users (NAME@localhost), are stored. Empty on
    // success, else why not (with the server's output).
    std::string Deliver(const BenchHome& home, int smtpPort, const std::vector<std::string>& users, long messages,
                        std::size_t size);
    // The stored files, per user in Deliver's order, sorted by name.
    const std::vector<std::vector<std::string>>& Files() const { return files_; }

private:
    std::vector<std::vector<std::string>> files_;
};

}  // namespace bench
