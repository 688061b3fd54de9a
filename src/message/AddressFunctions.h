// Address helpers for header values: the bare address of a "Name <addr>"
// value, the user and host parts of an address, and the envelope recipient
// a relaying server recorded in a Received field ("for <addr>").
//
// Plain text operations; no RFC 5322 address-list parsing (callers that need
// lists split them themselves).
#pragma once

#include <optional>
#include <string>
#include <string_view>

struct AddressParts {
    std::string user;  // text before the first '@' (the whole address without one)
    std::string host;  // text after it ("" without one)
};

// The text strictly between the first '<' and the first '>' when the '<'
// comes first; otherwise the value unchanged. No trimming.
std::string ExtractAngleAddress(std::string_view value);

AddressParts SplitAddress(std::string_view address);

// In a joined Received value (topmost field first), the address after the
// first "for <", up to the next '>' or the end of that field's line; nothing
// when there is no "for <". Because the newest field comes first, this is
// the recipient that the last relay recorded.
std::optional<std::string> FindReceivedForAddress(std::string_view received);
