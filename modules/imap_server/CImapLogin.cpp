// CImapLogin: the account database's answer to an IMAP login.
#include "CImapLogin.h"

#include <memory>

#include "foundation/CAccountRows.h"
#include "delivery/CLocalAccount.h"
#include "store/CUserRecord.h"
#include "foundation/CAccountDatabase.h"

CImapLoginResult CImapLogin::Check(CAccountDatabase* database, const std::string& user, const std::string& password) {
    CImapLoginResult result;
    if (!database) {
        result.outcome = CImapLoginResult::Outcome::Unavailable;
        return result;
    }
    std::unique_ptr<CLocalAccount> account(database->LookupLocalAccount(user));
    if (!account || !account->GetUserRecord().IsAlive() || account->GetUserRecord().IsGroup() ||
        !account->PasswordMatches(password))
        return result;
    result.accountId = account->GetAccountId();
    if (CAccountRows::ReadRightOf(database->GetConnectionHandle(), result.accountId) !=
        CAccountRows::ReadRight::Allowed) {
        result.outcome = CImapLoginResult::Outcome::NoReadRight;
        return result;
    }
    // The account's receive limit is kept in kilobytes.
    result.receiveLimit = static_cast<std::uint64_t>(account->GetUserRecord().GetRecvMailSizeLimit()) * 1024u;
    result.outcome = CImapLoginResult::Outcome::Ok;
    return result;
}
