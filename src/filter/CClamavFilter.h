// CClamavFilter: the filter backend that asks clamd whether a message
// carries a virus.
//
// One INSTREAM exchange per message on a connection of its own (clamd's
// local socket, or host:port): the text goes from its spool file in chunks
// of 64 KB, each after its length, and the one-line reply is read up to
// kMaxReply bytes within the time-out. "stream: OK" accepts; "stream: <name>
// FOUND" refuses with 554 5.7.1 naming the virus. A message over the size
// limit passes unchecked (one log line); a clamd that cannot answer lets the
// message through (one log line) or, fail closed, defers it with 451 4.7.1.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "filter/CMessageFilter.h"
#include "foundation/SettingValue.h"

class CClamavFilter : public CMessageFilter {
public:
    static constexpr std::size_t kMaxReply = 4096;
    static constexpr std::uint32_t kDefaultTimeoutSeconds =
        settings::Dword{settings::kFilter, "ClamAV Timeout"}.Default();
    static constexpr std::uint32_t kDefaultMaxSize = settings::Dword{settings::kFilter, "ClamAV Max Size"}.Default();

    // The Filter key's ClamAV values.
    struct Settings {
        std::string address;  // "/run/clamav/clamd.ctl" or "127.0.0.1:3310"; empty: no virus check
        int timeoutMs = static_cast<int>(kDefaultTimeoutSeconds * 1000);
        bool failClosed = false;
        std::uint32_t maxSize = kDefaultMaxSize;
        static Settings Read();
    };

    explicit CClamavFilter(Settings settings);

    FilterVerdict Check(const Request& request, CMailContent& content) const override;

    // The verdict for clamd's reply line, with the line for the log; none
    // (the reason in logLine) when it is no verdict.
    static std::optional<FilterVerdict> MapReply(std::string_view reply, std::string& logLine);

private:
    bool Exchange(CMailContent& content, std::string& reply, std::string& reason) const;

    Settings settings;
};
