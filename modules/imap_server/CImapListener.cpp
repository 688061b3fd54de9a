// CImapListener: the IMAP service's part of the session environment.
#include "CImapListener.h"

#include "foundation/CAccountDatabase.h"
#include "store/CSqlMailboxStore.h"

CImapListener::CImapListener(CAccountDatabase* database) {
    environment.login = [database](const std::string& user, const std::string& password) {
        return CImapLogin::Check(database, user, password);
    };
    // Each session's own store on the account database's connection, as POP3's.
    environment.openMailbox = [database](long accountId) {
        return database ? mailbox::OpenAccountMailbox(database->GetConnectionHandle(), accountId)
                        : std::unique_ptr<mailbox::CMailboxStore>();
    };
}
