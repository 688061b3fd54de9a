// NetwareSettingsCheck: an account's Netware exchange as the account netware
// command and the Netware page both accept it; each words a refusal in its
// own way (the page takes an empty directory as turning the exchange off).
#pragma once

#include <string>

#include "delivery/CNetwareExport.h"

class NetwareSettingsCheck {
public:
    enum class Outcome { Ok, NoDirectory, DirectoryTooLong, BadAddress };

    // The trimmed directory and address; settings gets the directory and the
    // address's parts when Ok (leaveCopy is the caller's).
    static Outcome Check(const std::string& directory, const std::string& address, NetwareSettings& settings);
};
