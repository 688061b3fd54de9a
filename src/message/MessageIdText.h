// MessageIdText: the Message-ID of a message this server writes itself
// (notices, auto-replies). Unique per call within a process and across
// processes of one machine: time, process id, a counter and random bits,
// at the machine's full name.
#pragma once

#include <string>

// "<...@domain>"; an empty domain stands for the machine's full name, or
// "localhost.localdomain" when the system knows none.
std::string NewMessageId(const std::string& domain = {});
