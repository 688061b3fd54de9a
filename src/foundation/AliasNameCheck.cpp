// AliasNameCheck: an alias name's faults in the page's order.
#include "foundation/AliasNameCheck.h"

#include "foundation/CAliasMapping.h"

AliasNameCheck::Outcome AliasNameCheck::Check(const std::string& name) {
    if (name.empty()) return Outcome::NoName;
    if (name.size() > CAliasMapping::kMaxName) return Outcome::NameTooLong;
    if (!CAliasMapping::IsValidAliasName(name)) return Outcome::BadName;
    return Outcome::Ok;
}
