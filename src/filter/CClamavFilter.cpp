// CClamavFilter: clamd's INSTREAM exchange.
#include "filter/CClamavFilter.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "foundation/CMailContent.h"
#include "foundation/CModuleLog.h"
#include "foundation/SettingValue.h"
#include "foundation/SettingsCatalogue.h"
#include "smtp/TcpSocket.h"

namespace {

using Clock = std::chrono::steady_clock;

// clamd's local socket (a path) or its TCP port ("host:port", "[v6]:port").
UniqueFd ConnectTo(const std::string& address, Clock::time_point deadline) {
    if (!address.empty() && address[0] == '/') {
        sockaddr_un local{};
        if (address.size() >= sizeof local.sun_path) return {};
        local.sun_family = AF_UNIX;
        std::memcpy(local.sun_path, address.data(), address.size());
        UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!fd || ::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) return {};
        return fd;
    }
    const std::size_t colon = address.rfind(':');
    if (colon == std::string::npos || colon + 1 >= address.size() ||
        address.find_first_not_of("0123456789", colon + 1) != std::string::npos || address.size() - colon > 6)
        return {};
    std::string host = address.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    return tcp::Connect(host, std::stoi(address.substr(colon + 1)), {}, deadline);
}

}  // namespace

CClamavFilter::Settings CClamavFilter::Settings::Read() {
    Settings result;
    result.address = settings::Text{settings::kFilter, "ClamAV Address"}.Value(255);
    result.timeoutMs = static_cast<int>(settings::Dword{settings::kFilter, "ClamAV Timeout"}.Value() * 1000);
    result.failClosed = settings::Dword{settings::kFilter, "ClamAV Fail"}.Value() == 1;
    result.maxSize = settings::Dword{settings::kFilter, "ClamAV Max Size"}.Clamped();
    return result;
}

CClamavFilter::CClamavFilter(Settings settings) : settings(std::move(settings)) {}

FilterVerdict CClamavFilter::Check(const Request& request, CMailContent& content) const {
    const std::uint32_t length = content.GetLength();
    if (TooLargeToCheck("Virus check", request, length, settings.maxSize)) return FilterVerdict::Accepted();
    std::string reply, reason;
    if (!Exchange(content, reply, reason)) return Unavailable("Virus check", request, reason, settings.failClosed);
    std::string logLine;
    std::optional<FilterVerdict> verdict = MapReply(reply, logLine);
    if (!verdict) return Unavailable("Virus check", request, logLine, settings.failClosed);
    if (verdict->action != FilterVerdict::Action::Accept)
        g_moduleLog.Write("Virus check: " + request.queueId + " from " + request.Origin() + ": " + logLine);
    return std::move(*verdict);
}

bool CClamavFilter::Exchange(CMailContent& content, std::string& reply, std::string& reason) const {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(settings.timeoutMs);
    UniqueFd socket = ConnectTo(settings.address, deadline);
    if (!socket) {
        reason = "no connection to " + settings.address;
        return false;
    }
    static const char kCommand[] = "zINSTREAM";  // NUL-terminated: the "z" form
    if (!tcp::SendAll(socket.Get(), kCommand, sizeof kCommand, deadline)) {
        reason = "the command could not be sent";
        return false;
    }
    // Each chunk after its length (4 bytes, network order); a zero length ends.
    std::vector<char> block(4 + 65536);
    content.Rewind();
    std::uint64_t sent = 0;
    for (;;) {
        const int n = content.Read(block.data() + 4, 65536);
        if (n < 0) {
            reason = "the message could not be read from its spool file";
            content.Rewind();
            return false;
        }
        const auto size = static_cast<std::uint32_t>(n);
        for (int i = 0; i < 4; ++i) block[static_cast<std::size_t>(i)] = static_cast<char>(size >> (24 - 8 * i));
        // clamd may close early (a stream over its own limit): its reply says why.
        if (!tcp::SendAll(socket.Get(), block.data(), 4 + size, deadline)) break;
        if (n == 0) break;
        sent += size;
    }
    content.Rewind();
    char buffer[512];
    while (reply.size() < kMaxReply && reply.find('\0') == std::string::npos) {
        if (!tcp::WaitReadable(socket.Get(), deadline)) {
            reason = "no answer within " + std::to_string(settings.timeoutMs / 1000) + " s";
            return false;
        }
        const long n = tcp::Receive(socket.Get(), buffer, sizeof buffer);
        if (n <= 0) break;
        reply.append(buffer, static_cast<std::size_t>(n));
    }
    reply = reply.substr(0, reply.find('\0'));
    if (reply.empty()) {
        reason = "no answer after " + std::to_string(sent) + " bytes";
        return false;
    }
    return true;
}

std::optional<FilterVerdict> CClamavFilter::MapReply(std::string_view reply, std::string& logLine) {
    while (!reply.empty() && (reply.back() == '\n' || reply.back() == '\r')) reply.remove_suffix(1);
    constexpr std::string_view kPrefix = "stream: ", kFound = " FOUND";
    logLine = FilterVerdict::CleanReplyText(reply);
    if (reply.substr(0, kPrefix.size()) != kPrefix) return std::nullopt;
    const std::string_view result = reply.substr(kPrefix.size());
    if (result == "OK") return FilterVerdict::Accepted();
    if (result.size() > kFound.size() && result.substr(result.size() - kFound.size()) == kFound) {
        const std::string name = FilterVerdict::CleanReplyText(result.substr(0, result.size() - kFound.size()), 100);
        return FilterVerdict(FilterVerdict::Action::Refuse, 554, "5.7.1 Virus found: " + name);
    }
    return std::nullopt;
}
