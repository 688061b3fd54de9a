// CGeneratedMailPolicy: the rule for generated mail.
#include "delivery/CGeneratedMailPolicy.h"

#include <memory>
#include <utility>

#include "foundation/AccountEditorCheck.h"
#include "delivery/CLocalAccount.h"
#include "foundation/CAccountDatabase.h"
#include "foundation/CMailDatabase.h"
#include "platform/Registry.h"
#include "platform/Text.h"
#include "smtp/CSmtpConnection.h"

CGeneratedMailPolicy::CGeneratedMailPolicy(std::string envelopeSender, bool mayRelay, CAccountDatabase* database)
    : sender(CSmtpConnection::RecipientPath(envelopeSender)),
      mayRelay(mayRelay),
      originKnown(true),
      database(database) {}

CGeneratedMailPolicy CGeneratedMailPolicy::ForUnknownOrigin(CAccountDatabase* database) {
    CGeneratedMailPolicy policy("", false, database);
    policy.originKnown = false;
    return policy;
}

bool CGeneratedMailPolicy::MayGenerate() const {
    return !originKnown || !sender.empty();
}

bool CGeneratedMailPolicy::MaySendTo(const std::string& address) const {
    if (!MayGenerate()) return false;
    const std::string path = CSmtpConnection::RecipientPath(address);
    if (path.empty()) return false;
    if (mayRelay) return true;
    if (originKnown && EqualsNoCase(path, sender)) return true;
    return IsLocalAddress(path);
}

bool CGeneratedMailPolicy::IsServedDomain(const std::string& domain) const {
    const std::string lower = FoldCase(domain);
    if (lower == "localhost" || lower == "127.0.0.1" || lower == "[127.0.0.1]") return true;
    // Only a plain domain name is looked up; anything else (a second "@",
    // a route, an address literal) is not one of ours.
    if (lower.empty() || lower.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789.-") != std::string::npos)
        return false;
    const std::string host = FoldCase(SystemHostName());
    const std::string hostDomain = FoldCase(SystemDomainName());
    if (!host.empty() && (lower == host || (!hostDomain.empty() && lower == host + "." + hostDomain))) return true;
    std::string defaultUser;
    bool forward = false;
    return database->GetDomain(domain, defaultUser, forward) ||
           (lower != domain && database->GetDomain(lower, defaultUser, forward));
}

bool CGeneratedMailPolicy::IsLocalAddress(const std::string& path) const {
    if (!database) return false;
    const std::size_t at = path.find('@');
    const std::string user = path.substr(0, at);
    const std::string domain = at == std::string::npos ? std::string() : path.substr(at + 1);
    // A name that cannot be an account is nobody here, whatever its domain.
    if (!AccountEditorCheck::IsValidUserName(user)) return false;
    if (at != std::string::npos && !IsServedDomain(domain)) return false;
    // As the SMTP server finds a recipient: the name, its lower case, then
    // the domain's own rule (its default user).
    for (const std::string& name : {user, FoldCase(user)}) {
        std::unique_ptr<CLocalAccount> account(database->LookupLocalAccount(name));
        if (!account && !domain.empty()) account.reset(database->FindAccountForDomain(name, domain));
        if (account) return true;
    }
    return false;
}

std::string CGeneratedMailPolicy::Quote(const std::string& text) {
    return CutAtCharacter(text, kMaxQuotedText);
}
