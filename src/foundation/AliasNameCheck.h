// AliasNameCheck: an alias name as the alias command and the alias mapping
// page both accept it; each words a refusal in its own way.
#pragma once

#include <string>

class AliasNameCheck {
public:
    enum class Outcome { Ok, NoName, NameTooLong, BadName };

    // Missing, then too long, then what CAliasMapping::IsValidAliasName refuses.
    static Outcome Check(const std::string& name);
};
