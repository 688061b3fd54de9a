// GatewaySettingsCheck: the outbox directory's bound.
#include "foundation/GatewaySettingsCheck.h"

GatewaySettingsCheck::Outcome GatewaySettingsCheck::CheckOutbox(const std::string& directory) {
    return directory.size() > kMaxDirectory ? Outcome::DirectoryTooLong : Outcome::Ok;
}
