// CMessageFilter: the filter phase of incoming mail, one interface for every
// backend.
//
// The SMTP server asks it once per message, after the whole message is in
// its spool file and before it answers the end of data, for mail from
// clients that are neither authenticated nor allowed to relay; mail the
// system generates itself never comes here. Check reads the message from
// the content (in blocks, from the start) and never fails as such: a
// backend that cannot be reached answers by its own fail setting.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "filter/FilterVerdict.h"

class CMailContent;

class CMessageFilter {
public:
    // What the server knows about the message besides its text.
    struct Request {
        std::string clientAddress;  // "192.0.2.1"; "" for mail fetched from a remote mailbox
        std::string helo;
        std::string sender;  // envelope, "" for the null sender
        std::vector<std::string> recipients;
        std::string user;        // the authenticated user, if any
        std::string queueId;     // the name the message is logged under
        std::string serverName;  // this server's name for Authentication-Results

        // Where the message came from, as log lines name it.
        std::string Origin() const { return clientAddress.empty() ? "a remote mailbox" : clientAddress; }
    };

    CMessageFilter() = default;
    CMessageFilter(const CMessageFilter&) = delete;
    CMessageFilter& operator=(const CMessageFilter&) = delete;
    virtual ~CMessageFilter() = default;

    // Safe to call from several sessions at once.
    virtual FilterVerdict Check(const Request& request, CMailContent& content) const = 0;

    // The filter the settings name now (Filter key), or none when no
    // backend is configured.
    static std::unique_ptr<CMessageFilter> FromSettings();

protected:
    // What every backend does alike, its log lines led by label ("Spam
    // filter", "Virus check"): the verdict when it could not answer (one log
    // line; deferred when failing closed, else accepted), and whether a
    // message is too large to be checked at all (one log line).
    static FilterVerdict Unavailable(const char* label, const Request& request, const std::string& reason,
                                     bool failClosed);
    static bool TooLargeToCheck(const char* label, const Request& request, std::uint32_t length,
                                std::uint32_t maxSize);
};
