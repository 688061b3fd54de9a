// CheckRegistryResult: the message a failed settings read shows the user.
#pragma once

#include "platform/Registry.h"

// True when code is 0; otherwise shows "Access Denied in Reading Registry Key"
// (code 5) or "Error in Reading Registry Key" and returns false.
bool CheckRegistryResult(LONG code);
