// CFilterChain: several filter backends asked in turn as one filter.
//
// The first verdict that ends the message (refuse, defer, discard) is the
// chain's; otherwise the message is accepted, into Junk when any backend
// said so, with every backend's header lines in the order of the backends.
// The virus check goes first: a message it refuses needs no spam score.
#pragma once

#include <memory>
#include <vector>

#include "filter/CMessageFilter.h"

class CFilterChain : public CMessageFilter {
public:
    explicit CFilterChain(std::vector<std::unique_ptr<CMessageFilter>> filters);

    FilterVerdict Check(const Request& request, CMailContent& content) const override;

private:
    std::vector<std::unique_ptr<CMessageFilter>> filters;
};
