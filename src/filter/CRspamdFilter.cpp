// CRspamdFilter: the /checkv2 exchange and the mapping of rspamd's actions.
#include "filter/CRspamdFilter.h"

#include <charconv>
#include <cstdlib>
#include <utility>
#include <vector>

#include "foundation/CMailContent.h"
#include "foundation/CModuleLog.h"
#include "foundation/SettingValue.h"
#include "foundation/SettingsCatalogue.h"
#include "platform/JsonReader.h"
#include "platform/Text.h"
#include "smtp/TcpSocket.h"

namespace {

using Clock = std::chrono::steady_clock;

// A request header value: no line breaks or other control characters, bounded.
std::string HeaderValue(std::string_view value) {
    std::string clean;
    for (char c : value) {
        if (clean.size() >= 512) break;
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u != 0x7F) clean += c;
    }
    return clean;
}

// Two decimals, with a point whatever the process's locale says.
std::string Number(double value) {
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 2);
    return result.ec == std::errc() ? std::string(text, result.ptr) : std::string("0.00");
}

// The domain at the start of text ("example.org", "example.org:s=sel",
// "example.org : reason"), lower case; "" when it does not start with one.
std::string LeadingDomain(std::string_view text) {
    std::string domain;
    for (char c : text) {
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                             c == '-' || c == '_';
        if (!allowed || domain.size() >= 253) break;
        domain += c;
    }
    return domain.find('.') == std::string::npos ? std::string() : FoldCase(domain);
}

// The domain named by a symbol's first option.
std::string OptionDomain(const JsonReader::Value& symbol) {
    const JsonReader::Value* options = symbol.Find("options");
    if (!options || options->type != JsonReader::Type::Array || options->items.empty() ||
        !options->items.front().IsString())
        return "";
    return LeadingDomain(options->items.front().text);
}

// RFC 8601 results from the symbols rspamd's SPF, DKIM and DMARC modules
// set, each with the identity it checked when known.
std::string AuthenticationResults(const JsonReader::Value& reply, const CMessageFilter::Request& request) {
    const JsonReader::Value* symbols = reply.Find("symbols");
    struct Method {
        const char* name;
        const char* property;  // the identity checked
        std::vector<std::pair<const char*, const char*>> symbols;
    };
    static const Method kMethods[] = {
        {"spf",
         "smtp.mailfrom",
         {{"R_SPF_ALLOW", "pass"},
          {"R_SPF_FAIL", "fail"},
          {"R_SPF_SOFTFAIL", "softfail"},
          {"R_SPF_NEUTRAL", "neutral"},
          {"R_SPF_DNSFAIL", "temperror"},
          {"R_SPF_PERMFAIL", "permerror"},
          {"R_SPF_NA", "none"}}},
        {"dkim",
         "header.d",
         {{"R_DKIM_ALLOW", "pass"},
          {"R_DKIM_REJECT", "fail"},
          {"R_DKIM_TEMPFAIL", "temperror"},
          {"R_DKIM_PERMFAIL", "permerror"},
          {"R_DKIM_NA", "none"}}},
        {"dmarc",
         "header.from",
         {{"DMARC_POLICY_ALLOW", "pass"},
          {"DMARC_POLICY_REJECT", "fail"},
          {"DMARC_POLICY_QUARANTINE", "fail"},
          {"DMARC_POLICY_SOFTFAIL", "fail"},
          {"DMARC_DNSFAIL", "temperror"},
          {"DMARC_BAD_POLICY", "permerror"},
          {"DMARC_NA", "none"}}},
    };
    // SPF checks the envelope sender's domain (the HELO name's for the null sender).
    const std::size_t at = request.sender.rfind('@');
    const std::string mailFrom = LeadingDomain(
        at == std::string::npos ? std::string_view(request.helo) : std::string_view(request.sender).substr(at + 1));
    std::string results;
    for (const Method& method : kMethods)
        for (const auto& [name, result] : method.symbols) {
            const JsonReader::Value* symbol = symbols ? symbols->Find(name) : nullptr;
            if (!symbol) continue;
            results += std::string("; ") + method.name + "=" + result;
            const std::string identity = method.name == std::string_view("spf") ? mailFrom : OptionDomain(*symbol);
            if (!identity.empty()) results += std::string(" ") + method.property + "=" + identity;
            break;
        }
    return request.serverName + (results.empty() ? "; none" : results);
}

// Whether rspamd's milter headers would repeat one this filter writes itself.
bool OwnHeader(std::string_view name) {
    return EqualsNoCase(std::string(name), "X-Spam") || EqualsNoCase(std::string(name), "X-Spam-Score") ||
           EqualsNoCase(std::string(name), "Authentication-Results");
}

}  // namespace

CRspamdFilter::Settings CRspamdFilter::Settings::Read() {
    Settings result;
    result.url = settings::Text{settings::kFilter, "Rspamd URL"}.Value(255);
    result.timeoutMs = static_cast<int>(settings::Dword{settings::kFilter, "Rspamd Timeout"}.Value() * 1000);
    result.failClosed = settings::Dword{settings::kFilter, "Rspamd Fail"}.Value() == 1;
    result.maxSize = settings::Dword{settings::kFilter, "Rspamd Max Size"}.Clamped();
    return result;
}

CRspamdFilter::CRspamdFilter(Settings settings) : settings(std::move(settings)) {}

bool CRspamdFilter::ParseUrl(const std::string& url, std::string& host, int& port) {
    constexpr std::string_view kScheme = "http://";
    if (url.size() <= kScheme.size() || !EqualsNoCase(url.substr(0, kScheme.size()), std::string(kScheme)))
        return false;
    std::string rest = url.substr(kScheme.size());
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    if (rest.empty() || rest.find_first_of("/?#@ ") != std::string::npos) return false;
    std::string portText;
    if (rest[0] == '[') {
        const std::size_t close = rest.find(']');
        if (close == std::string::npos) return false;
        host = rest.substr(1, close - 1);
        if (close + 1 < rest.size()) {
            if (rest[close + 1] != ':') return false;
            portText = rest.substr(close + 2);
        } else {
            portText.clear();
        }
    } else {
        const std::size_t colon = rest.find(':');
        host = rest.substr(0, colon);
        if (colon != std::string::npos) portText = rest.substr(colon + 1);
        if (colon != std::string::npos && portText.empty()) return false;
    }
    if (host.empty()) return false;
    port = kDefaultPort;
    if (!portText.empty()) {
        if (portText.size() > 5 || portText.find_first_not_of("0123456789") != std::string::npos) return false;
        port = std::atoi(portText.c_str());
        if (port < 1 || port > 65535) return false;
    }
    return true;
}

FilterVerdict CRspamdFilter::Check(const Request& request, CMailContent& content) const {
    const std::uint32_t length = content.GetLength();
    if (TooLargeToCheck("Spam filter", request, length, settings.maxSize)) return FilterVerdict::Accepted();
    std::string body, reason;
    if (!Exchange(request, content, body, reason))
        return Unavailable("Spam filter", request, reason, settings.failClosed);
    std::string logLine;
    std::optional<FilterVerdict> verdict = MapReply(body, request, logLine);
    if (!verdict) return Unavailable("Spam filter", request, logLine, settings.failClosed);
    g_moduleLog.Write("Spam filter: " + request.queueId + " from " + request.Origin() + ": " + logLine);
    return std::move(*verdict);
}

bool CRspamdFilter::Exchange(const Request& request, CMailContent& content, std::string& body,
                             std::string& reason) const {
    std::string host;
    int port = 0;
    if (!ParseUrl(settings.url, host, port)) {
        reason = "the Rspamd URL is not http://host[:port]";
        return false;
    }
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(settings.timeoutMs);
    UniqueFd socket = tcp::Connect(host, port, {}, deadline);
    if (!socket) {
        reason = "no connection to " + settings.url;
        return false;
    }
    const std::uint32_t length = content.GetLength();
    std::string head = "POST /checkv2 HTTP/1.1\r\nHost: " + HeaderValue(host) +
                       "\r\nConnection: close\r\nContent-Length: " + std::to_string(length) + "\r\n";
    if (!request.clientAddress.empty()) head += "IP: " + HeaderValue(request.clientAddress) + "\r\n";
    if (!request.helo.empty()) head += "Helo: " + HeaderValue(request.helo) + "\r\n";
    head += "From: " + HeaderValue(request.sender) + "\r\n";
    for (const std::string& recipient : request.recipients) head += "Rcpt: " + HeaderValue(recipient) + "\r\n";
    if (!request.user.empty()) head += "User: " + HeaderValue(request.user) + "\r\n";
    if (!request.queueId.empty()) head += "Queue-Id: " + HeaderValue(request.queueId) + "\r\n";
    head += "\r\n";
    if (!tcp::SendAll(socket.Get(), head.data(), head.size(), deadline)) {
        reason = "the request could not be sent";
        return false;
    }
    // The text in blocks, straight from the spool file.
    std::vector<char> block(65536);
    content.Rewind();
    std::uint64_t sent = 0;
    while (sent < length) {
        const int n = content.Read(block.data(), static_cast<std::uint32_t>(block.size()));
        if (n <= 0) break;
        if (!tcp::SendAll(socket.Get(), block.data(), static_cast<std::size_t>(n), deadline)) {
            content.Rewind();
            reason = "the message could not be sent";
            return false;
        }
        sent += static_cast<std::uint64_t>(n);
    }
    content.Rewind();
    if (sent != length) {
        reason = "the message could not be read from its spool file";
        return false;
    }
    // The reply, to the connection's end or its announced length.
    std::string reply;
    std::size_t bodyStart = std::string::npos;
    std::size_t wanted = std::string::npos;
    char buffer[16384];
    for (;;) {
        if (bodyStart != std::string::npos && wanted != std::string::npos && reply.size() - bodyStart >= wanted) break;
        if (!tcp::WaitReadable(socket.Get(), deadline)) {
            reason = "no answer within " + std::to_string(settings.timeoutMs / 1000) + " s";
            return false;
        }
        const long n = tcp::Receive(socket.Get(), buffer, sizeof buffer);
        if (n < 0) {
            reason = "the answer could not be read";
            return false;
        }
        if (n == 0) break;
        reply.append(buffer, static_cast<std::size_t>(n));
        if (reply.size() > kMaxReply) {
            reason = "the answer is larger than " + std::to_string(kMaxReply) + " bytes";
            return false;
        }
        if (bodyStart == std::string::npos) {
            const std::size_t end = reply.find("\r\n\r\n");
            if (end == std::string::npos) continue;
            bodyStart = end + 4;
            const std::string header = FoldCase(reply.substr(0, end));
            if (header.find("transfer-encoding: chunked") != std::string::npos) {
                reason = "a chunked answer";
                return false;
            }
            const std::size_t at = header.find("\r\ncontent-length:");
            if (at != std::string::npos) wanted = std::strtoul(header.c_str() + at + 17, nullptr, 10);
        }
    }
    if (bodyStart == std::string::npos || reply.compare(0, 5, "HTTP/") != 0) {
        reason = "not an HTTP answer";
        return false;
    }
    const std::size_t space = reply.find(' ');
    const int status = space == std::string::npos ? 0 : std::atoi(reply.c_str() + space + 1);
    if (status != 200) {
        reason = "HTTP status " + std::to_string(status);
        return false;
    }
    body = reply.substr(bodyStart, wanted);
    return true;
}

std::optional<FilterVerdict> CRspamdFilter::MapReply(std::string_view body, const Request& request,
                                                     std::string& logLine) {
    const std::optional<JsonReader::Value> reply = JsonReader::Parse(body);
    const JsonReader::Value* action = reply ? reply->Find("action") : nullptr;
    if (!action || !action->IsString()) {
        logLine = "the answer is not rspamd's JSON";
        return std::nullopt;
    }
    const JsonReader::Value* score = reply->Find("score");
    const JsonReader::Value* required = reply->Find("required_score");
    const double points = score && score->IsNumber() ? score->number : 0;
    const double limit = required && required->IsNumber() ? required->number : 0;
    logLine = action->text + " (score " + Number(points) + " of " + Number(limit) + ")";
    const std::string& name = action->text;

    if (name == "reject") {
        std::string message = "Message rejected as spam";
        const JsonReader::Value* messages = reply->Find("messages");
        const JsonReader::Value* smtp = messages ? messages->Find("smtp_message") : nullptr;
        if (smtp && smtp->IsString() && !smtp->text.empty()) message = smtp->text;
        return FilterVerdict::Refused("5.7.1 " + FilterVerdict::CleanReplyText(message));
    }
    if (name == "soft reject" || name == "greylist") return FilterVerdict::Deferred("4.7.1 Try again later");
    if (name == "discard") return FilterVerdict(FilterVerdict::Action::Discard, 250, "");

    const bool junk = name == "add header" || name == "rewrite subject";
    if (!junk && name != "no action") {
        logLine = "unknown action \"" + FilterVerdict::CleanReplyText(name, 40) + "\"";
        return std::nullopt;
    }
    FilterVerdict verdict(junk ? FilterVerdict::Action::Junk : FilterVerdict::Action::Accept, 250, "");
    if (junk) {
        verdict.AddHeader("X-Spam", "Yes");
        verdict.AddHeader("X-Spam-Score", Number(points) + " / " + Number(limit));
    }
    verdict.AddHeader("Authentication-Results", AuthenticationResults(*reply, request));
    // rspamd's own additions: a name with one value, an object with "value",
    // or a list of either.
    const JsonReader::Value* milter = reply->Find("milter");
    const JsonReader::Value* add = milter ? milter->Find("add_headers") : nullptr;
    if (add && add->type == JsonReader::Type::Object) {
        std::size_t refused = 0;
        for (std::size_t i = 0; i < add->keys.size(); ++i) {
            const std::string& header = add->keys[i];
            const JsonReader::Value& value = add->items[i];
            if (OwnHeader(header)) continue;
            std::vector<const JsonReader::Value*> values;
            if (value.type == JsonReader::Type::Array)
                for (const auto& item : value.items) values.push_back(&item);
            else
                values.push_back(&value);
            for (const JsonReader::Value* one : values) {
                const JsonReader::Value* text = one->type == JsonReader::Type::Object ? one->Find("value") : one;
                if (!text || !text->IsString() || !verdict.AddHeader(header, text->text)) ++refused;
            }
        }
        if (refused > 0) logLine += "; " + std::to_string(refused) + " header line(s) from rspamd refused";
    }
    return verdict;
}
