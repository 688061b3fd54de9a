// Per-server figures over a benchmark's rounds: medians and ratios.
#include "RoundFigures.h"

#include "BenchSupport.h"

namespace bench {

void RoundFigures::Add(const std::string& server, const std::string& figure, double value) {
    values_[{server, figure}].push_back(value);
}

double RoundFigures::Median(const std::string& server, const std::string& figure) const {
    const auto found = values_.find({server, figure});
    return found == values_.end() ? 0 : bench::Median(found->second);
}

double RoundFigures::Ratio(const std::string& figure, const std::string& server, const std::string& base) const {
    const double under = Median(base, figure);
    return under > 0 ? Median(server, figure) / under : 0;
}

}  // namespace bench
