// CRspamdFilter: the filter backend that asks rspamd over its HTTP protocol.
//
// One POST /checkv2 per message on a connection of its own: the envelope
// goes in request headers (IP, Helo, From, one Rcpt per recipient, User,
// Queue-Id) and the message text streams from its spool file to the socket
// in blocks, never held whole. The JSON reply is read up to kMaxReply bytes
// within the time-out and mapped to a verdict:
//   reject                          -> 550 5.7.1 with rspamd's message
//   soft reject, greylist           -> 451 4.7.1
//   add header, rewrite subject     -> the Junk folder, with X-Spam: Yes,
//                                      X-Spam-Score and Authentication-Results
//   no action                       -> accepted, with Authentication-Results
//   discard                         -> accepted and dropped
// rspamd's own milter.add_headers are added too, when clean. A message over
// the size limit passes unchecked (one log line); an rspamd that cannot be
// reached or answers nonsense lets mail through (one log line) or, fail
// closed, defers it with 451 4.7.1.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "filter/CMessageFilter.h"
#include "foundation/SettingValue.h"

class CRspamdFilter : public CMessageFilter {
public:
    static constexpr std::size_t kMaxReply = 256 * 1024;
    static constexpr std::uint32_t kDefaultTimeoutSeconds =
        settings::Dword{settings::kFilter, "Rspamd Timeout"}.Default();
    static constexpr std::uint32_t kDefaultMaxSize = settings::Dword{settings::kFilter, "Rspamd Max Size"}.Default();
    // The port when the URL names none: rspamd's normal worker port.
    static constexpr int kDefaultPort = 11333;

    // The Filter key's values.
    struct Settings {
        std::string url;  // "http://127.0.0.1:11333"; empty: no filter
        int timeoutMs = static_cast<int>(kDefaultTimeoutSeconds * 1000);
        bool failClosed = false;  // "Rspamd Fail" 1
        std::uint32_t maxSize = kDefaultMaxSize;
        static Settings Read();
    };

    explicit CRspamdFilter(Settings settings);

    FilterVerdict Check(const Request& request, CMailContent& content) const override;

    // The verdict for a reply body, with the line for the log; none (and the
    // reason in logLine) when it is not rspamd's JSON or names no known action.
    static std::optional<FilterVerdict> MapReply(std::string_view body, const Request& request, std::string& logLine);
    // host and port of an "http://host[:port][/]" URL; false for any other form.
    static bool ParseUrl(const std::string& url, std::string& host, int& port);

private:
    // Sends the request and reads the reply's body; false with the reason.
    bool Exchange(const Request& request, CMailContent& content, std::string& body, std::string& reason) const;

    Settings settings;
};
