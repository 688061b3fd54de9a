// CPop3Connection: commands, reply reading and message retrieval.
#include "retrieval/CPop3Connection.h"

#include <algorithm>
#include <cstring>
#include <sstream>

#include "foundation/CTempMailContent.h"
#include "foundation/SettingValue.h"
#include "foundation/SettingsCatalogue.h"
#include "foundation/StringFormat.h"
#include "platform/StatusWindow.h"
#include "platform/StopSignal.h"
#include "platform/Text.h"
#include "platform/TlsContext.h"
#include "platform/TlsStream.h"
#include "retrieval/CDotUnstuffer.h"
#include "smtp/TcpSocket.h"

namespace {

using Clock = std::chrono::steady_clock;

// A number of at most maxDigits decimal digits at the start of text; -1 when
// there is none or it is longer.
long LeadingNumber(std::string_view text, std::size_t maxDigits) {
    std::size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
    if (digits == 0 || digits > maxDigits) return -1;
    long value = 0;
    for (std::size_t i = 0; i < digits; ++i) value = value * 10 + (text[i] - '0');
    return value;
}

// The last white-space separated token of a line.
std::string_view LastToken(std::string_view line) {
    line = Trim(line);
    std::size_t start = line.size();
    while (start > 0 && !IsBlank(line[start - 1])) --start;
    return line.substr(start);
}

// A command must not carry a line break of its own (a user name or password
// from the database would otherwise smuggle in a further command).
bool SafeArgument(const std::string& text) {
    return text.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
}

}  // namespace

CPop3Connection::CPop3Connection() {
    std::memset(replyBuffer, 0, sizeof replyBuffer);
}

CPop3Connection::~CPop3Connection() = default;

void CPop3Connection::SetReceiveBufferSize(std::uint32_t bytes) {
    receiveBufferSize = std::clamp(bytes, kMinReceiveBufferSize, kMaxReceiveBufferSize);
}

std::string CPop3Connection::LastReply() const {
    std::string line(replyBuffer, replyLength);
    return line.substr(0, line.find_first_of("\r\n"));
}

bool CPop3Connection::Connect(const std::string& server, std::uint16_t serverPort) {
    Close();
    host = server;
    port = serverPort;
    if (port != kImplicitTlsPort) return Attach(tcp::Connect(server, port, Watch()));
    socket = tcp::Connect(server, port, Watch());
    if (!socket || !StartTls() || !ReadStatusLine()) {
        Close();
        return false;
    }
    return true;
}

bool CPop3Connection::TlsRequiredBySettings() {
    return settings::Dword{settings::kPreferences, "POP3 Require TLS"}.Value() == 1;
}

bool CPop3Connection::IsEncrypted() const {
    return tls && tls->Established();
}

std::string CPop3Connection::TlsDescription() const {
    return IsEncrypted() ? tls->Description() : std::string();
}

std::string CPop3Connection::SessionNote() const {
    std::string note = StringPrintf("POP3 session with %s:%u ", host.c_str(), static_cast<unsigned>(port));
    note += IsEncrypted() ? "encrypted (" + TlsDescription() + ")" : std::string("not encrypted");
    if (!tlsFailure.empty()) note += "; TLS: " + tlsFailure;
    return note;
}

bool CPop3Connection::StartTls() {
    if (!tlsContext) {
        auto context = std::make_unique<TlsContext>();
        const std::string file = requireTls ? settings::Text{settings::kTls, "CA File"}.Value(1023) : std::string();
        if (!context->InitClient(requireTls, file, tlsFailure)) return false;
        tlsContext = std::move(context);
    }
    auto stream = std::make_unique<TlsStream>();
    const tcp::StopWatch watch = Watch();
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(tcp::Bound(watch, Clock::now() + replyWait) - Clock::now());
    const auto wait = static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, 0x7fffffff));
    // A handshake the stop interrupts fails: the session has nothing to finish yet.
    if (stream->Connect(*tlsContext, socket.Get(), host, tcp::WatchedFd(watch), wait) != TlsStream::Status::Ok) {
        tlsFailure = stream->Reason().empty() ? "TLS handshake timed out or was closed" : stream->Reason();
        return false;
    }
    tls = std::move(stream);
    return true;
}

bool CPop3Connection::OffersStls() {
    if (!SendCommand("CAPA\r\n") || !ReadStatusLine()) return false;
    if (!StartsWithNoCase(std::string_view(replyBuffer, replyLength), "+OK")) return false;
    std::string listing;
    if (!ReadListing(listing, kMaxCapabilities)) {
        Close();
        return false;
    }
    std::istringstream lines(listing);
    for (std::string line; std::getline(lines, line);)
        if (EqualsNoCase(Trim(line), "STLS")) return true;
    return false;
}

bool CPop3Connection::Attach(UniqueFd connected) {
    Close();
    socket = std::move(connected);
    if (!socket) return false;
    if (!ReadStatusLine()) {
        Close();
        return false;
    }
    return true;
}

void CPop3Connection::Close() {
    if (tls) tls->Shutdown();
    tls.reset();
    socket.Reset();
    pending.clear();
}

bool CPop3Connection::Stopping() const {
    return stopSignal && stopSignal->Raised();
}

bool CPop3Connection::SendCommand(const std::string& command) {
    if (!socket) return false;
    const tcp::StopWatch watch = Watch();
    const auto deadline = Clock::now() + replyWait;
    if (tls) {
        // A command is one record: a write the stop woke is taken up again
        // with the same bytes, as the library wants it.
        TlsStream::Status status;
        do {
            tls->SetStopFd(tcp::WatchedFd(watch));
            status = tls->Write(command.data(), command.size(), tcp::Bound(watch, deadline));
        } while (status == TlsStream::Status::Stopped);
        return status == TlsStream::Status::Ok;
    }
    return tcp::SendAll(socket.Get(), command.data(), command.size(), deadline, watch);
}

bool CPop3Connection::ReceiveMore(Clock::time_point deadline, std::size_t room) {
    if (!socket || room == 0) return false;
    const std::size_t before = pending.size();
    long received = -1;
    const tcp::StopWatch watch = Watch();
    if (tls) {
        pending.resize(before + room);
        std::size_t got = 0;
        TlsStream::Status status;
        do {
            // Woken by the stop: the read goes on without it, within the grace.
            tls->SetStopFd(tcp::WatchedFd(watch));
            status = tls->Read(pending.data() + before, room, got, tcp::Bound(watch, deadline));
        } while (status == TlsStream::Status::Stopped);
        if (status == TlsStream::Status::Ok) received = static_cast<long>(got);
    } else {
        if (!tcp::WaitReadable(socket.Get(), deadline, watch)) return false;
        pending.resize(before + room);
        received = tcp::Receive(socket.Get(), pending.data() + before, room);
    }
    pending.resize(before + static_cast<std::size_t>(std::max(received, 0L)));
    return received > 0;
}

bool CPop3Connection::ReadStatusLine() {
    std::memset(replyBuffer, 0, sizeof replyBuffer);
    replyLength = 0;
    const auto deadline = Clock::now() + replyWait;
    std::size_t end;
    while ((end = pending.find('\n')) == std::string::npos) {
        // The buffer keeps a terminating NUL: a line needs its LF within 511 bytes.
        if (pending.size() >= kReplyBufferSize - 1) return false;
        if (!ReceiveMore(deadline, kReplyBufferSize - 1 - pending.size())) return false;
    }
    if (end + 1 >= kReplyBufferSize) return false;
    replyLength = end + 1;
    std::memcpy(replyBuffer, pending.data(), replyLength);
    pending.erase(0, replyLength);
    return replyBuffer[0] != '-' && replyBuffer[0] != '\r' && replyBuffer[0] != '\n';
}

bool CPop3Connection::ReadListing(std::string& body, std::size_t maxBytes) {
    CDotUnstuffer unstuffer;
    body.clear();
    for (;;) {
        const std::size_t taken = unstuffer.Feed(pending.data(), pending.size(), body);
        pending.erase(0, taken);
        if (body.size() > maxBytes) return false;
        if (unstuffer.Done()) return true;
        if (!ReceiveMore(Clock::now() + timeout, receiveBufferSize)) return false;
    }
}

bool CPop3Connection::Login(const std::string& user, const std::string& password) {
    if (!SafeArgument(user) || !SafeArgument(password)) return false;
    tlsFailure.clear();
    if (!tls && socket) {
        if (OffersStls()) {
            // Nothing the server sent before the handshake may be read as sent inside it.
            pending.clear();
            if (!SendCommand("STLS\r\n") || !ReadStatusLine() || !pending.empty() || !StartTls()) {
                if (tlsFailure.empty()) tlsFailure = "STLS refused: " + LastReply();
                Close();
                // Opportunistic: a server whose TLS is broken still serves in the clear.
                if (requireTls || !Attach(tcp::Connect(host, port, Watch()))) return false;
            }
        } else if (requireTls) {
            tlsFailure = "the server offers no STLS";
        }
        if (!socket) return false;
    }
    if (requireTls && !tls) return false;
    if (!SendCommand("User " + user + "\r\n") || !ReadStatusLine()) return false;
    return SendCommand("Pass " + password + "\r\n") && ReadStatusLine();
}

int CPop3Connection::GetMessageCount() {
    if (!SendCommand("STAT\r\n") || !ReadStatusLine()) return -1;
    if (replyLength < 4) return -1;
    return static_cast<int>(LeadingNumber(std::string_view(replyBuffer + 4, replyLength - 4), 9));
}

long CPop3Connection::GetMessageSize(int number) {
    if (!SendCommand(StringPrintf("LIST %d\r\n", number)) || !ReadStatusLine()) return -1;
    const std::string_view token = LastToken(std::string_view(replyBuffer, replyLength));
    // Anything but a whole number of at most 18 digits is no size.
    if (LeadingNumber(token, 18) < 0 || token.find_first_not_of("0123456789") != std::string_view::npos) return -1;
    return LeadingNumber(token, 18);
}

std::string CPop3Connection::GetUidl(int number) {
    SendCommand(StringPrintf("UIDL %d\r\n", number));
    if (!ReadStatusLine()) return {};
    const std::string_view line(replyBuffer, replyLength);
    // "+OK n id": without a second token after the status there is no id.
    std::istringstream words{std::string(line)};
    std::string status, count, uid;
    if (!(words >> status >> count >> uid)) return {};
    return std::string(Trim(LastToken(line)));
}

bool CPop3Connection::LoadUidlList(int messageCount) {
    if (messageCount < 0) return false;
    if (!SendCommand("UIDL\r\n") || !ReadStatusLine()) return false;
    if (!StartsWithNoCase(std::string_view(replyBuffer, replyLength), "+OK")) return false;
    // One line per message at the most each part may hold, and some slack.
    const std::size_t bound = (static_cast<std::size_t>(messageCount) + 1) * (kMaxNumberLength + kMaxUidLength + 4);
    std::string body;
    if (!ReadListing(body, bound)) {
        Close();
        return false;
    }
    uidlList.clear();
    std::size_t start = 0;
    while (start < body.size()) {
        std::size_t end = body.find('\n', start);
        if (end == std::string::npos) break;  // the listing ends with a whole line
        std::string_view line(body.data() + start, end - start);
        start = end + 1;
        line = Trim(line);
        const std::size_t gap = line.find_first_of(" \t");
        const std::string_view numberToken = line.substr(0, gap);
        std::string_view uid;
        if (gap != std::string_view::npos) {
            uid = Trim(line.substr(gap));
            uid = uid.substr(0, uid.find_first_of(" \t"));
        }
        if (numberToken.size() > kMaxNumberLength || uid.size() > kMaxUidLength) return false;
        uidlList.emplace_back(uid);
    }
    return true;
}

bool CPop3Connection::FindUidl(const std::string& uid, int& number) const {
    const auto found = std::find(uidlList.begin(), uidlList.end(), uid);
    if (found == uidlList.end()) return false;
    number = static_cast<int>(found - uidlList.begin()) + 1;
    return true;
}

void CPop3Connection::PostProgress(std::uint64_t received, std::uint64_t announced) {
    if (!statusWindow) return;
    std::string text;
    if (announced < 1) {
        text = StringPrintf("%ld Bytes Received", static_cast<long>(received));
    } else {
        announced = std::max(announced, received);
        text = StringPrintf("%ld Bytes Received Out Of %ld Bytes (%d%%)", static_cast<long>(received),
                            static_cast<long>(announced), static_cast<int>(received * 100 / announced));
    }
    statusWindow->Post(StatusWindow::kProgressText, 0, text, 0);
}

std::unique_ptr<CTempMailContent> CPop3Connection::RetrieveMessage(int number) {
    if (Stopping()) return nullptr;
    if (!SendCommand(StringPrintf("RETR %d\r\n", number)) || !ReadStatusLine()) return nullptr;
    auto file = std::make_unique<CTempMailContent>();
    if (!file->Open()) {
        Close();  // the message is on its way and nothing would read it
        return nullptr;
    }
    const long announced =
        replyLength > 4 ? std::max(0L, LeadingNumber(std::string_view(replyBuffer + 4, replyLength - 4), 18)) : 0;
    CDotUnstuffer unstuffer;
    std::string chunk;
    std::uint64_t received = 0;
    std::uint64_t stored = 0;
    for (;;) {
        chunk.clear();
        const std::size_t taken = unstuffer.Feed(pending.data(), pending.size(), chunk);
        pending.erase(0, taken);
        received += taken;
        stored += chunk.size();
        if (taken > 0) PostProgress(received, static_cast<std::uint64_t>(announced));
        if (stored > maxMessageBytes) break;
        if (!chunk.empty() && !file->Write(chunk.data(), static_cast<std::uint32_t>(chunk.size()))) break;
        if (unstuffer.Done()) {
            if (!leaveOnServer && SendCommand(StringPrintf("DELE %d\r\n", number))) ReadStatusLine();
            return file;
        }
        if (!ReceiveMore(Clock::now() + replyWait, receiveBufferSize)) break;
    }
    // The rest of the message may still arrive: the session cannot go on.
    // Closing without QUIT also keeps every deletion of this session undone
    // (what a server that stalls past a stop's grace costs).
    Close();
    return nullptr;
}

bool CPop3Connection::RetrieveHeader(int number, std::string& header, std::size_t maxBytes) {
    header.clear();
    if (!SendCommand(StringPrintf("TOP %d 0\r\n", number)) || !ReadStatusLine()) return false;
    if (ReadListing(header, maxBytes)) return true;
    Close();
    return false;
}

bool CPop3Connection::DeleteMessage(int number) {
    return SendCommand(StringPrintf("DELE %d\r\n", number)) && ReadStatusLine();
}

void CPop3Connection::Quit() {
    if (SendCommand("Quit\r\n")) ReadStatusLine();
}
