// CFilterChain: backends in turn, verdicts combined.
#include "filter/CFilterChain.h"

CFilterChain::CFilterChain(std::vector<std::unique_ptr<CMessageFilter>> filters) : filters(std::move(filters)) {}

FilterVerdict CFilterChain::Check(const Request& request, CMailContent& content) const {
    FilterVerdict combined = FilterVerdict::Accepted();
    for (const auto& filter : filters) {
        FilterVerdict verdict = filter->Check(request, content);
        switch (verdict.action) {
            case FilterVerdict::Action::Refuse:
            case FilterVerdict::Action::Defer:
            case FilterVerdict::Action::Discard:
                return verdict;
            case FilterVerdict::Action::Junk:
                combined.action = FilterVerdict::Action::Junk;
                break;
            case FilterVerdict::Action::Accept:
                break;
        }
        for (std::string& line : verdict.headerLines) combined.headerLines.push_back(std::move(line));
    }
    return combined;
}
