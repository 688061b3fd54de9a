// DescriptorLimit: how many file descriptors the process may hold open.
//
// A listener's session cap follows from it, so the server raises its own
// soft limit to the hard one once at start: the hard limit is what the
// administrator allowed, the soft one only a default that is often far
// lower.
#pragma once

#include <cstdint>

// Raises the soft limit to the hard limit; the soft limit in force afterwards
// (the old one when it could not be raised).
std::uint64_t RaiseDescriptorLimit();

// The soft limit in force now; 1024 when it cannot be read.
std::uint64_t DescriptorLimit();
