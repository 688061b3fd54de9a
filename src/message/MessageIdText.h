// MessageIdText: the Message-ID of a message this server writes itself
// (notices, auto-replies). Unique per call within a process and across
// processes of one machine: time, process id, a counter and random bits,
// at the machine's full name.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

// "<...@domain>"; an empty domain stands for this server's own name (the
// machine's full name, else the home's domain), or "localhost.localdomain"
// when it has neither.
std::string NewMessageId(const std::string& domain = {});

// The longest identifier taken from a message ("<" and ">" included).
constexpr std::size_t kMaxMessageIdBytes = 250;
// Calls found with each identifier "<left@right>" of a Message-ID,
// In-Reply-To or References value, in order. Only sane ones: printable
// ASCII without blanks, one "@" inside, at most kMaxMessageIdBytes; the rest
// of the value (comments, phrases, broken identifiers) is passed over.
void ForEachMessageId(std::string_view value, const std::function<void(std::string_view)>& found);
