// CRecipientResolver: decides each RCPT TO: a local account, a remote
// recipient this client may relay to, or a refusal with its reply.
//
// A recipient is local when its domain is served here: a row of the Domains
// table, the machine's own names, "localhost", "127.0.0.1" or
// "[127.0.0.1]". Its account is looked up by user name, then through the
// domain's own rule (its default user). Mail for other domains is accepted
// only from clients that may relay: the machine itself, the RelayAllowed
// ranges when IPBlocking is 1, otherwise the private and link-local
// networks, and any client that has authenticated (SMTP AUTH). The server is
// never an open relay.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "CClientAddress.h"
#include "ModuleVisibility.h"

class CAccountDatabase;
class MailRecipient;

class MODULE_LOCAL CRecipientResolver {
public:
    struct Decision {
        int code = 0;  // 250 when accepted
        std::string text;
        std::unique_ptr<MailRecipient> recipient;  // set when accepted
    };

    // machineNames: lower-case names this machine answers to besides the fixed ones.
    CRecipientResolver(CAccountDatabase* database, const CClientAddress& client, std::uint32_t ipBlocking,
                       std::vector<std::string> machineNames);
    ~CRecipientResolver();

    // domain may be empty only for "postmaster" (checked by the caller).
    Decision Resolve(const std::string& localPart, const std::string& domain);

    bool IsServedDomain(const std::string& domain) const;
    // Evaluated once per session: the client's address does not change.
    bool MayRelay() const;
    // An authenticated client may relay from anywhere; set and cleared by
    // the session (a new TLS layer forgets a login).
    void SetAuthenticated(bool value) { authenticated = value; }

    // The names of this machine (host, host.domain), lower case.
    static std::vector<std::string> MachineNames();

private:
    CAccountDatabase* database;
    CClientAddress client;
    std::uint32_t ipBlocking;
    std::vector<std::string> machineNames;
    mutable std::atomic<int> relayDecision{-1};  // -1 not yet asked; the session and its bounded worker both ask
    std::atomic<bool> authenticated{false};      // read by look-ups on the session's worker
};
