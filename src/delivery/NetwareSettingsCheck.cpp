// NetwareSettingsCheck: the directory's bounds, then the address.
#include "delivery/NetwareSettingsCheck.h"

NetwareSettingsCheck::Outcome NetwareSettingsCheck::Check(const std::string& directory, const std::string& address,
                                                          NetwareSettings& settings) {
    if (directory.empty()) return Outcome::NoDirectory;
    if (directory.size() > CNetwareExport::kMaxMailPath) return Outcome::DirectoryTooLong;
    if (!CNetwareExport::SplitAddress(address, settings)) return Outcome::BadAddress;
    settings.mailPath = directory;
    return Outcome::Ok;
}
