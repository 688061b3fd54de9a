// CRecipientResolver: local, relayed or refused recipients.
#include "CRecipientResolver.h"

#include "foundation/AccountEditorCheck.h"
#include "delivery/CLocalAccount.h"
#include "foundation/CAccountDatabase.h"
#include "foundation/CMailDatabase.h"
#include "foundation/OdbcConnectionInfo.h"
#include "platform/Registry.h"
#include "platform/Text.h"
#include "spool/MailRecipient.h"

#include <algorithm>
#include <cctype>
#include <utility>

CRecipientResolver::CRecipientResolver(CAccountDatabase* database, const CClientAddress& client,
                                       std::uint32_t ipBlocking, std::vector<std::string> machineNames)
    : database(database), client(client), ipBlocking(ipBlocking), machineNames(std::move(machineNames)) {}

CRecipientResolver::~CRecipientResolver() = default;

std::vector<std::string> CRecipientResolver::MachineNames() {
    std::vector<std::string> names;
    const std::string host = FoldCase(SystemHostName());
    const std::string domain = FoldCase(SystemDomainName());
    if (!host.empty()) {
        names.push_back(host);
        if (!domain.empty()) names.push_back(host + "." + domain);
    }
    return names;
}

bool CRecipientResolver::IsServedDomain(const std::string& domain) const {
    const std::string lower = FoldCase(domain);
    if (lower.empty() || lower == "localhost" || lower == "127.0.0.1" || lower == "[127.0.0.1]") return true;
    if (std::find(machineNames.begin(), machineNames.end(), lower) != machineNames.end()) return true;
    if (!database || domain.front() == '[') return false;
    std::string defaultUser;
    bool forward = false;
    return database->GetDomain(domain, defaultUser, forward) ||
           (lower != domain && database->GetDomain(lower, defaultUser, forward));
}

bool CRecipientResolver::MayRelay() const {
    if (authenticated) return true;
    if (relayDecision >= 0) return relayDecision != 0;
    bool allowed = false;
    switch (client.Classify()) {
        case CClientAddress::Network::Loopback:
            allowed = true;
            break;
        case CClientAddress::Network::Private:
        case CClientAddress::Network::Public:
            if (ipBlocking != 0) {
                // The relay table holds IPv4 ranges only.
                allowed = client.IsIPv4() && database && database->IsRelayAllowed(client.Text());
            } else {
                allowed = client.Classify() == CClientAddress::Network::Private;
            }
            break;
    }
    relayDecision = allowed ? 1 : 0;
    return allowed;
}

CRecipientResolver::Decision CRecipientResolver::Resolve(const std::string& localPart, const std::string& domain) {
    Decision decision;
    // A database that went away answers nothing: neither "not ours" nor "no
    // such user" is known then, and the client is asked to come back.
    const auto databaseLost = [&] {
        if (!database || !OdbcConnectionInfo::IsLost(database->GetConnectionHandle())) return false;
        decision.code = 451;
        decision.text = "Requested action aborted: local error in processing";
        return true;
    };
    const bool served = IsServedDomain(domain);
    if (!served && databaseLost()) return decision;
    if (served) {
        // Account names are plain; any other local part cannot name one,
        // and never reaches a statement.
        std::unique_ptr<CLocalAccount> account;
        if (database) {
            std::vector<std::string> names{localPart};
            if (FoldCase(localPart) != localPart) names.push_back(FoldCase(localPart));
            for (const std::string& name : names) {
                if (!AccountEditorCheck::IsValidUserName(name)) continue;
                account.reset(database->LookupLocalAccount(name));
                if (!account && !domain.empty() && domain.front() != '[')
                    account.reset(database->FindAccountForDomain(name, domain));
                if (account) break;
            }
            // No account of that name: the account whose own address it is.
            if (!account && !domain.empty() && domain.front() != '[')
                account.reset(database->FindAccountByAddress(localPart + "@" + domain));
        }
        if (!account) {
            if (databaseLost()) return decision;
            if (!database || database->GetConnectionHandle() == nullptr) {
                decision.code = 451;
                decision.text = "Requested action aborted: local error in processing";
            } else {
                decision.code = 550;
                decision.text = "No such user here";
            }
            return decision;
        }
        const std::string name = account->GetUserName().empty() ? localPart : account->GetUserName();
        decision.recipient = std::make_unique<MailRecipient>(name, domain);
        decision.recipient->account = std::move(account);
        decision.code = 250;
        decision.text = "OK";
        return decision;
    }
    if (!MayRelay()) {
        decision.code = 554;
        decision.text = "Relay access denied";
        return decision;
    }
    decision.recipient = std::make_unique<MailRecipient>(localPart, domain);
    decision.code = 250;
    decision.text = "OK";
    return decision;
}
