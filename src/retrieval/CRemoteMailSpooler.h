// CRemoteMailSpooler: mail of the remote server accounts (whole remote POP3
// mailboxes shared by several local users), in the two phases of a send and
// receive cycle:
//
// 1. DownloadRemoteServerAccounts (the cycle's worker): every account in
//    turn; each new message is written with the account's routing data as
//    one remote spool file (CRemoteSpoolFile) in MailSpooler/, and only then
//    is its id stored and, unless mail is left on the server, the message
//    deleted there: a failed write never loses a message. With mail left
//    on the server, the id of every message written is kept as well
//    (CFetchedUidls), so a message deleted there by another client makes
//    nothing else look new; LastMailId serves when ids are missing.
// 2. DistributeRemoteMail (the end of the cycle, unless it was stopped: the
//    files then wait for the next one): every remote spool file is
//    read back, its local recipients worked out from its To, Cc and Bcc
//    fields, the owner's aliases, its Received "for" clause and the owner,
//    and the message handed to the local SMTP server with them; the file
//    goes once the hand-over succeeded. The same message (by Message-ID)
//    fetched from several accounts reaches each recipient once per pass: a
//    recipient already served with that id is skipped, the others are not.
//    A file that cannot be read back is set aside as "Tes….bad".
//
// The cycle makes one object per pass and keeps it until FinishCycle has
// distributed. Progress goes to the status window as status lines (0x498).
// Passwords never reach the diagnostic log or the status window.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "foundation/CRemoteServerAccounts.h"

struct OdbcFailure;
class CAccountDatabase;
class CMailHeader;
class CRemoteSpoolFile;
class CLocalHandBack;
class StatusWindow;
class StopSignal;

class CRemoteMailSpooler {
public:
    using Account = CRemoteServerAccounts::Account;

    // Reads ReceiveBufferSize and MaxMails from the preferences; when the
    // key cannot be opened both keep the values read last.
    CRemoteMailSpooler();
    CRemoteMailSpooler(const CRemoteMailSpooler&) = delete;
    CRemoteMailSpooler& operator=(const CRemoteMailSpooler&) = delete;

    // Not owned; the database is used on the calling thread only.
    void SetDatabase(CAccountDatabase* database) { this->database = database; }
    void SetStatusWindow(StatusWindow* window) { statusWindow = window; }
    // The cycle's stop request, read between accounts, messages and spool
    // files; the message or file in hand is finished within its grace.
    void SetStopSignal(const StopSignal* stop) { stopRequested = stop; }
    // Relative to the working directory (the home); MailSpooler unless set.
    void SetSpoolDirectory(std::string directory) { spoolDirectory = std::move(directory); }

    // Phase 1; nothing happens without a database. Returns the number of
    // messages written to the spool directory.
    int DownloadRemoteServerAccounts();
    // Phase 2. Returns the number of spool files handed over (or found
    // served already) and removed.
    int DistributeRemoteMail();

    // Candidate user names of the message, from its To, Cc and Bcc fields.
    std::vector<std::string> CollectLocalRecipients(const CRemoteSpoolFile& record, const CMailHeader& header) const;
    // The local user a candidate names for the record's owner, or "".
    std::string ResolveLocalUser(const CRemoteSpoolFile& record, const std::string& candidate);

private:
    struct Recipient {
        std::string user;
        bool ownerIfRefused = false;  // the Received clause chose it
    };

    bool StopRequested() const;
    void Status(const std::string& text);
    void StatementError(const OdbcFailure& failure);
    void RemovePartFiles();
    bool LoadAccounts(std::vector<Account>& accounts);
    int DownloadAccount(const Account& account);
    bool StoreLastMailId(const Account& account, const std::string& id);
    // True when the file was handed over (or served already) and removed.
    bool DistributeFile(CLocalHandBack& local, const std::string& path, bool routeAll);
    std::vector<Recipient> PlanRecipients(const CRemoteSpoolFile& record, const CMailHeader& header, bool routeAll);
    void SetAside(const std::string& path);
    bool AccountExists(const std::string& name, std::string& stored);
    bool MayRead(const std::string& user);

    CAccountDatabase* database = nullptr;
    StatusWindow* statusWindow = nullptr;
    const StopSignal* stopRequested = nullptr;
    std::string spoolDirectory = "MailSpooler";
    std::uint32_t receiveBufferSize = 0;
    std::uint32_t maxMails = 0;
    // Message-ID (folded) -> users (folded) it reached in this distribution.
    std::map<std::string, std::set<std::string>> served;
};
