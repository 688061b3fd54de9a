// The figures a benchmark measures round by round for each server it
// compares (rate, CPU per message, ...): kept per server and figure, and
// read back as the median over the rounds and the ratio of two servers'
// medians, so that one bad round does not decide the comparison.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace bench {

class RoundFigures {
public:
    void Add(const std::string& server, const std::string& figure, double value);
    // The median of the figure over the server's rounds (0 when none).
    double Median(const std::string& server, const std::string& figure) const;
    // Median(server) / Median(base), 0 when the base's median is 0.
    double Ratio(const std::string& figure, const std::string& server, const std::string& base) const;

private:
    std::map<std::pair<std::string, std::string>, std::vector<double>> values_;
};

}  // namespace bench
