// CSmtpConnection: session steps, reply reading, message transfer and the
// SMTP AUTH exchanges.
#include "smtp/CSmtpConnection.h"

#include <algorithm>
#include <cstring>
#include <sstream>
#include <vector>

#include "foundation/CMailContent.h"
#include "foundation/CModuleLog.h"
#include "foundation/COwnNames.h"
#include "foundation/SettingValue.h"
#include "foundation/SettingsCatalogue.h"
#include "foundation/StringFormat.h"
#include "message/CBase64Decoder.h"
#include "message/CBase64Encoder.h"
#include "message/Md5.h"
#include "platform/StatusWindow.h"
#include "platform/StopSignal.h"
#include "platform/Text.h"
#include "platform/TlsContext.h"
#include "platform/TlsStream.h"
#include "smtp/CGeneratedMailSessions.h"
#include "smtp/CMxResolver.h"
#include "smtp/TcpSocket.h"

namespace {

// What the diagnostic log shows in place of a password.
constexpr const char* kMasked = "***";

// The text between the first "<" and the next ">" (empty without ">"), or
// the address itself when it has no "<".
std::string AngleAddress(const std::string& address) {
    const std::size_t open = address.find('<');
    if (open == std::string::npos) return address;
    const std::size_t close = address.find('>', open + 1);
    if (close == std::string::npos) return {};
    return address.substr(open + 1, close - open - 1);
}

// The address without its comments. Each "(...)" outside a quoted string
// goes on its own (nested ones with it), so text between two comments, such
// as "<bob@example.org>" in "Bob (B) <bob@example.org> (work)", stays; an
// unclosed comment runs to the end of the address.
std::string RemoveComments(const std::string& address) {
    std::string kept;
    int depth = 0;
    bool quoted = false;
    for (std::size_t i = 0; i < address.size(); ++i) {
        const char c = address[i];
        if (depth > 0) {
            if (c == '\\')
                ++i;
            else if (c == '(')
                ++depth;
            else if (c == ')')
                --depth;
            continue;
        }
        if (c == '"') quoted = !quoted;
        if (c == '(' && !quoted) {
            depth = 1;
            continue;
        }
        kept += c;
    }
    return kept;
}

// An address with a line break or NUL would smuggle further commands.
bool SafeForCommand(const std::string& address) {
    return address.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
}

// Text up to its first NUL: decoded challenges and passwords are C strings.
std::string UpToNul(const std::string& s) {
    return s.substr(0, s.find('\0'));
}

// The local SMTP server's configured port (default 25).
int LocalSmtpPort() {
    return static_cast<int>(settings::Dword{settings::kPorts, "SMTP Port"}.Value());
}

// Where the local SMTP server listens when it was told one address
// (Ports\SMTP Listen Address); 127.0.0.1 when it listens on every address.
std::string LocalSmtpHost() {
    std::string address = settings::Text{settings::kPorts, "SMTP Listen Address"}.Value(255);
    if (address.size() >= 2 && address.front() == '[' && address.back() == ']')
        address = address.substr(1, address.size() - 2);
    if (address.empty() || address == "0.0.0.0") return CSmtpConnection::kLocalHost;
    if (address == "::") return "::1";  // that listener takes IPv6 only
    return address;
}

// One time-out setting in seconds; fallback when it is missing or out of range.
std::chrono::milliseconds TimeoutSetting(settings::Dword entry, std::chrono::milliseconds fallback) {
    const std::optional<std::uint32_t> seconds = entry.Stored();
    if (!seconds || !entry.InRange(*seconds)) return fallback;
    return std::chrono::seconds(*seconds);
}

int WaitMilliseconds(std::chrono::milliseconds wait) {
    return static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(wait.count(), 0, 0x7fffffff));
}

// Certificates of authorities trusted beside the system's own (TLS\CA File).
std::string ExtraCaFile() {
    return settings::Text{settings::kTls, "CA File"}.Value(1023);
}

}  // namespace

CSmtpConnection::CSmtpConnection() : timeouts(ConfiguredTimeouts()) {
    std::memset(responseBuffer, 0, sizeof responseBuffer);
}

CSmtpConnection::Timeouts CSmtpConnection::ConfiguredTimeouts() {
    const Timeouts rfc;
    Timeouts t;
    t.greeting = TimeoutSetting({settings::kPorts, "SMTP Client Greeting Timeout"}, rfc.greeting);
    t.mail = TimeoutSetting({settings::kPorts, "SMTP Client MAIL Timeout"}, rfc.mail);
    t.rcpt = TimeoutSetting({settings::kPorts, "SMTP Client RCPT Timeout"}, rfc.rcpt);
    t.dataStart = TimeoutSetting({settings::kPorts, "SMTP Client DATA Timeout"}, rfc.dataStart);
    t.dataBlock = TimeoutSetting({settings::kPorts, "SMTP Client Block Timeout"}, rfc.dataBlock);
    t.dataEnd = TimeoutSetting({settings::kPorts, "SMTP Client End Timeout"}, rfc.dataEnd);
    return t;
}

void CSmtpConnection::SetStopSignal(const StopSignal* signal, bool finish) {
    stopSignal = signal;
    finishSteps = finish;
}

tcp::StopWatch CSmtpConnection::Watch(bool finishing) const {
    return {stopSignal, finishing || finishSteps ? tcp::OnStop::Finish : tcp::OnStop::Abort};
}

std::string CSmtpConnection::LastReply() const {
    return finalLine.substr(0, finalLine.find_first_of("\r\n"));
}

CSmtpConnection::~CSmtpConnection() {
    Disconnect();
}

std::string CSmtpConnection::RecipientPath(const std::string& address) {
    return std::string(Trim(AngleAddress(RemoveComments(address))));
}

void CSmtpConnection::SetHeloName(const std::string& name) {
    heloName = Trim(name);
    if (heloName.empty()) heloName = "localhost";
    literalWhenUnnamed = false;
}

void CSmtpConnection::SetOwnName(const std::string& name) {
    heloName = Trim(name);
    literalWhenUnnamed = true;
}

void CSmtpConnection::SetProgressWindow(StatusWindow* window) {
    progressWindow = window;
}

void CSmtpConnection::SetChunkSize(std::uint32_t bytes) {
    // 0 would send nothing per block; a huge size would be held in memory.
    chunkSize = bytes == 0 ? kDefaultChunkSize : std::min(bytes, kMaxChunkSize);
}

bool CSmtpConnection::IsEncrypted() const {
    return tls && tls->Established();
}

bool CSmtpConnection::SendRaw(const char* data, std::size_t length) {
    if (!socket) return false;
    const tcp::StopWatch watch = Watch(false);
    if (tls) {
        if (tcp::StopsNow(watch)) return false;
        tls->SetStopFd(tcp::WatchedFd(watch));
        return tls->Write(data, length, tcp::Bound(watch, tcp::Clock::now() + sendWait)) == TlsStream::Status::Ok;
    }
    if (waitForReplies) return tcp::SendAll(socket.Get(), data, length, tcp::Clock::now() + sendWait, watch);
    return tcp::SendAll(socket.Get(), data, length, tcp::Clock::time_point::max(), watch);
}

void CSmtpConnection::ForgetReply() {
    finalLine.clear();
    replyLines.clear();
    lastCode.clear();
}

bool CSmtpConnection::Send(const std::string& text, std::chrono::milliseconds wait) {
    // A command that cannot be sent has no reply: the last one belongs to
    // an earlier command and must not be taken for its answer.
    ForgetReply();
    sendWait = wait;
    if (SendRaw(text.data(), text.size())) return true;
    // A line sent in part leaves the session out of step.
    Disconnect();
    return false;
}

bool CSmtpConnection::ConnectSocket(const std::string& host, int port) {
    Disconnect();
    socket = tcp::Connect(host, port, Watch(false));
    // Registered before the server hears a word, so it knows the session
    // before any message can arrive on it.
    if (socket && (generatedMail || fetchedMail)) {
        registeredPort = CGeneratedMailSessions::LocalPortOf(socket.Get());
        registeredKind = generatedMail ? CGeneratedMailSessions::Kind::Generated : CGeneratedMailSessions::Kind::Fetched;
        CGeneratedMailSessions::Add(registeredPort, registeredKind);
    }
    return static_cast<bool>(socket);
}

void CSmtpConnection::Disconnect() {
    if (tls) tls->Shutdown();
    tls.reset();
    socket.Reset();
    if (registeredPort != 0) CGeneratedMailSessions::Remove(registeredPort, registeredKind);
    registeredPort = 0;
}

std::string CSmtpConnection::ReadResponse() {
    return ReadReply(timeouts.mail);
}

std::string CSmtpConnection::ReadReply(std::chrono::milliseconds wait, bool finishing) {
    ForgetReply();
    if (!socket) return {};
    // Whatever ends the reading leaves the session out of step: a late reply
    // would answer the next command. A 421 closes the channel by definition.
    std::string code = ReadReplyCode(wait, finishing);
    if (code.empty() || code == "421") Disconnect();
    lastCode = code;
    return code;
}

std::string CSmtpConnection::ReadReplyCode(std::chrono::milliseconds wait, bool finishing) {
    // The reply ends with the line whose code is the first line's code and
    // whose fourth character is not "-", once its line feed has arrived.
    // Lines are followed across blocks, so a final line split between two
    // blocks, or sent as the bare code, is still recognised.
    const tcp::StopWatch watch = Watch(finishing);
    const auto deadline = tcp::Clock::now() + wait;
    std::string code;  // first three characters of the first line
    bool codeKnown = false;
    std::string prefix;  // first four characters of the current line
    bool prefixDone = false;
    bool lineIsFinal = false;
    std::string line;  // the current line, kept up to the buffer size
    std::size_t total = 0;
    for (;;) {
        std::memset(responseBuffer, 0, sizeof responseBuffer);
        long received = -1;
        if (tls) {
            // Encrypted sessions always wait bounded, whatever the caller set.
            std::size_t got = 0;
            TlsStream::Status status;
            do {
                // A finishing read that the stop woke goes on, within the grace.
                if (tcp::StopsNow(watch)) return {};
                tls->SetStopFd(tcp::WatchedFd(watch));
                status = tls->Read(responseBuffer, sizeof responseBuffer, got, tcp::Bound(watch, deadline));
            } while (status == TlsStream::Status::Stopped && watch.onStop == tcp::OnStop::Finish);
            if (status == TlsStream::Status::Ok) received = static_cast<long>(got);
        } else {
            const auto until = waitForReplies ? deadline : tcp::Clock::time_point::max();
            if ((waitForReplies || stopSignal) && !tcp::WaitReadable(socket.Get(), until, watch)) return {};
            received = tcp::Receive(socket.Get(), responseBuffer, sizeof responseBuffer);
        }
        if (received <= 0) return {};
        total += static_cast<std::size_t>(received);
        for (long i = 0; i < received; ++i) {
            const char c = responseBuffer[i];
            if (line.size() < kResponseBufferSize) line += c;
            if (!prefixDone) {
                prefix += c;
                if (prefix.size() == 4 || c == '\n') {
                    prefixDone = true;
                    if (!codeKnown) {
                        code = prefix.substr(0, std::min<std::size_t>(3, prefix.size()));
                        codeKnown = true;
                    }
                    lineIsFinal = prefix.compare(0, 3, code) == 0 && (prefix.size() < 4 || prefix[3] != '-');
                }
            }
            if (c == '\n') {
                if (replyLines.size() < kMaxKeptReplyLines)
                    replyLines.emplace_back(Trim(std::string_view(line).substr(std::min<std::size_t>(4, line.size()))));
                if (lineIsFinal) {
                    finalLine = line;
                    return std::string(Trim(code));
                }
                prefix.clear();
                prefixDone = false;
                line.clear();
            }
        }
        if (total >= kMaxReplyBytes) return {};
    }
}

std::string CSmtpConnection::Challenge() const {
    return finalLine.size() > 4 ? finalLine.substr(4) : std::string();
}

bool CSmtpConnection::Handshake(const std::string& greeting) {
    std::string code = ReadReply(timeouts.greeting);
    g_moduleLog.WriteVerbose(StringPrintf("\tResponse = %s", code.c_str()));
    if (code != "220") return false;
    return Greet(greeting);
}

bool CSmtpConnection::Greet(const std::string& greeting) {
    extensions.clear();
    const std::string name =
        literalWhenUnnamed ? COwnNames::Choose(heloName, "", COwnNames::LocalAddress(socket.Get())) : heloName;
    const std::string request = greeting + " " + name + "\r\n";
    g_moduleLog.WriteVerbose(StringPrintf("\tSending Request - %s", request.c_str()));
    if (!SendText(request)) return false;
    const std::string code = ReadResponse();
    g_moduleLog.WriteVerbose(StringPrintf("\tResponse = %s", code.c_str()));
    if (code != "250") return false;
    // The first line greets; each further one names an extension and its parameters.
    for (std::size_t i = 1; i < replyLines.size(); ++i) {
        std::vector<std::string> words;
        std::istringstream split(replyLines[i]);
        for (std::string word; split >> word && words.size() < kMaxKeptReplyLines;) words.push_back(word);
        if (!words.empty()) extensions.push_back(std::move(words));
    }
    return true;
}

const std::vector<std::string>* CSmtpConnection::Extension(const std::string& keyword) const {
    for (const auto& words : extensions)
        if (EqualsNoCase(words.front(), keyword)) return &words;
    return nullptr;
}

bool CSmtpConnection::Offers(const std::string& keyword) const {
    return Extension(keyword) != nullptr;
}

int CSmtpConnection::Connect(const std::string& host, int port, bool useMx) {
    return OpenSession(host, port, useMx, "HELO", false);
}

int CSmtpConnection::ExtendedConnectToServer(const std::string& host, int port, bool useMx) {
    return OpenSession(host, port, useMx, "EHLO", true);
}

int CSmtpConnection::OpenSession(const std::string& target, int port, bool useMx, const char* greeting, bool extended) {
    if (target.empty()) return kConnectFailed;
    waitForReplies = useMx || boundedReplies;
    std::string host = target;
    if (host == kLocalHost && port == kLocalPort) {
        host = LocalSmtpHost();
        port = LocalSmtpPort();
    }

    if (!useMx) {
        if (extended) g_moduleLog.WriteVerbose(StringPrintf("connecting...%s, %d", host.c_str(), port));
        if (Attempt(host, port, greeting, extended)) return kConnected;
        Disconnect();
        return kConnectFailed;
    }

    if (extended) g_moduleLog.WriteVerbose("Resolving address");
    CMxResolver resolver;
    resolver.SetStopSignal(stopSignal);
    std::vector<std::string> hosts = resolver.ResolveMx(host);
    if (tcp::StopsNow(Watch(false))) return kConnectFailed;
    if (hosts.empty()) {
        if (Attempt(host, port, greeting, false)) return kConnected;
        Disconnect();
        return resolver.serverReached ? kUnknownHost : kConnectFailed;
    }
    for (const std::string& exchanger : hosts) {
        if (tcp::StopsNow(Watch(false))) break;
        if (Attempt(exchanger, port, greeting, false)) return kConnected;
        Disconnect();
    }
    return kConnectFailed;
}

bool CSmtpConnection::Attempt(const std::string& host, int port, const char* greeting, bool extended) {
    if (!ConnectSocket(host, port)) return false;
    if (extended) g_moduleLog.WriteVerbose("Handshaking with server");
    bool handshakeFailed = false;
    bool ok = StartSession(host, greeting, true, handshakeFailed);
    if (!ok && handshakeFailed && tlsPolicy == TlsPolicy::Opportunistic) {
        // A server that offers STARTTLS but cannot finish it still takes mail in the clear.
        g_moduleLog.Write(StringPrintf("SMTP to %s:%d: trying again without TLS", host.c_str(), port));
        ok = ConnectSocket(host, port) && StartSession(host, greeting, false, handshakeFailed);
    }
    if (ok && tlsPolicy != TlsPolicy::None) {
        g_moduleLog.Write(IsEncrypted() ? StringPrintf("SMTP session with %s:%d encrypted (%s)", host.c_str(), port,
                                                       tls->Description().c_str())
                                        : StringPrintf("SMTP session with %s:%d not encrypted", host.c_str(), port));
    }
    return ok;
}

bool CSmtpConnection::StartSession(const std::string& host, const char* greeting, bool withTls, bool& handshakeFailed) {
    handshakeFailed = false;
    if (tlsPolicy == TlsPolicy::Implicit && !StartTls(host)) {
        handshakeFailed = true;
        return false;
    }
    const bool startTls = withTls && (tlsPolicy == TlsPolicy::Opportunistic || tlsPolicy == TlsPolicy::Required);
    // STARTTLS is an extension: it needs EHLO, and HELO is the fallback.
    const std::string first = startTls ? "EHLO" : greeting;
    std::string code = ReadReply(timeouts.greeting);
    g_moduleLog.WriteVerbose(StringPrintf("\tResponse = %s", code.c_str()));
    if (code != "220") return false;
    if (!Greet(first)) {
        if (first == greeting || tlsPolicy == TlsPolicy::Required || !IsConnected() || !Greet(greeting)) return false;
        return true;  // no extensions, so no STARTTLS
    }
    if (!startTls) return true;
    if (!Offers("STARTTLS")) {
        if (tlsPolicy != TlsPolicy::Required) return true;
        g_moduleLog.Write(StringPrintf("SMTP to %s: STARTTLS is required but not offered", host.c_str()));
        return false;
    }
    if (!SendText("STARTTLS\r\n")) return false;
    // Whatever the server sent behind its 220 is dropped with the reply's
    // block or breaks the handshake: nothing sent in the clear counts as sent inside TLS.
    code = ReadResponse();
    if (code != "220") {
        // Refused: the session goes on in the clear unless TLS is required.
        g_moduleLog.Write(StringPrintf("SMTP to %s: STARTTLS refused (%s)", host.c_str(), code.c_str()));
        return tlsPolicy != TlsPolicy::Required && IsConnected();
    }
    if (!StartTls(host)) {
        handshakeFailed = true;
        return false;
    }
    // What the server said before TLS no longer counts (RFC 3207).
    return Greet(first);
}

bool CSmtpConnection::StartTls(const std::string& host) {
    const bool verify = tlsPolicy == TlsPolicy::Required || tlsPolicy == TlsPolicy::Implicit;
    if (!tlsContext) {
        auto context = std::make_unique<TlsContext>();
        std::string reason;
        if (!context->InitClient(verify, verify ? ExtraCaFile() : std::string(), reason)) {
            g_moduleLog.Write("SMTP TLS unavailable: " + reason);
            return false;
        }
        tlsContext = std::move(context);
    }
    auto stream = std::make_unique<TlsStream>();
    const tcp::StopWatch watch = Watch(false);
    const auto until = tcp::Bound(watch, tcp::Clock::now() + timeouts.mail);
    if (tcp::StopsNow(watch) ||
        stream->Connect(*tlsContext, socket.Get(), host, tcp::WatchedFd(watch),
                        WaitMilliseconds(std::chrono::ceil<std::chrono::milliseconds>(until - tcp::Clock::now()))) !=
            TlsStream::Status::Ok) {
        g_moduleLog.Write(StringPrintf("SMTP TLS handshake with %s failed: %s", host.c_str(),
                                       stream->Reason().empty() ? "time-out or close" : stream->Reason().c_str()));
        return false;
    }
    tls = std::move(stream);
    return true;
}

bool CSmtpConnection::MailFrom(const std::string& address) {
    const std::string path(Trim(AngleAddress(address)));
    ForgetReply();
    if (!SafeForCommand(path)) return false;
    if (!Send("Mail From: <" + path + ">\r\n", timeouts.mail)) return false;
    return ReadReply(timeouts.mail) == "250";
}

bool CSmtpConnection::RcptTo(const std::string& address) {
    const std::string path = RecipientPath(address);
    ForgetReply();
    if (!SafeForCommand(path)) return false;
    if (!Send("Rcpt To: <" + path + ">\r\n", timeouts.rcpt)) return false;
    const std::string code = ReadReply(timeouts.rcpt);
    return code == "250" || code == "251";
}

void CSmtpConnection::PostStatusLine(const std::string& code) {
    if (progressWindow) progressWindow->Post(StatusWindow::kStatusLine, 0, code, 0);
}

void CSmtpConnection::PostProgress(const std::string& text, long percent) {
    if (!progressWindow) return;
    progressWindow->Post(StatusWindow::kProgressText, 0, text, 0);
    progressWindow->Post(StatusWindow::kProgressPercent, 0, std::string(), percent);
}

bool CSmtpConnection::SendData(CMailContent& content) {
    if (!Send("Data\r\n", timeouts.dataStart)) return false;
    std::string code = ReadReply(timeouts.dataStart);
    if (code != "354") {
        PostStatusLine(code);
        return false;
    }

    const std::uint32_t blockSize = chunkSize;
    std::vector<char> block(blockSize);
    // One byte becomes at most four on the wire: the CR LF ending a line a
    // bare CR left open, then a stuffed ".".
    std::vector<char> wire(4 * static_cast<std::size_t>(blockSize));
    const std::uint64_t total = content.GetLength();
    content.Rewind();
    std::uint64_t remaining = total;
    std::uint64_t sent = 0;
    bool lineStart = true;
    bool pendingCr = false;  // a CR whose line end depends on the next byte
    while (remaining > 0) {
        const auto want = static_cast<std::uint32_t>(std::min<std::uint64_t>(blockSize, remaining));
        const int got = content.Read(block.data(), want);
        if (got <= 0) {
            // The content is shorter than its length or unreadable: ending the
            // DATA now would deliver a cut message, so drop the connection and
            // let the server discard what it has.
            Disconnect();
            return false;
        }
        std::size_t out = 0;
        for (int i = 0; i < got; ++i) {
            const char c = block[static_cast<std::size_t>(i)];
            // Every line ends in CR LF on the wire, whatever the stored
            // message used: a bare CR or LF would let a "." after it pass
            // unstuffed, and receivers disagree on where such lines end.
            if (pendingCr) {
                pendingCr = false;
                wire[out++] = '\r';
                wire[out++] = '\n';
                lineStart = true;
                if (c == '\n') continue;
            }
            if (c == '\r') {
                pendingCr = true;
                continue;
            }
            if (c == '\n') {
                wire[out++] = '\r';
                wire[out++] = '\n';
                lineStart = true;
                continue;
            }
            // A line that starts with "." gets a second one, so the receiver
            // neither loses the dot nor takes a lone "." for the end of data.
            if (lineStart && c == '.') wire[out++] = '.';
            wire[out++] = c;
            lineStart = false;
        }
        sendWait = timeouts.dataBlock;
        if (!SendRaw(wire.data(), out)) {
            Disconnect();
            return false;
        }
        remaining -= static_cast<std::uint64_t>(got);
        sent += static_cast<std::uint64_t>(got);
        if (remaining == 0) {
            PostProgress(std::string(), 0);
        } else {
            PostProgress(
                StringPrintf("%ld Bytes Sent Out Of %ld bytes", static_cast<long>(sent), static_cast<long>(total)),
                static_cast<long>(sent * 100 / total));
        }
    }
    // The end-of-data line; a CR LF before it ends the last line when the
    // message did not end with a complete line break (a trailing bare CR
    // is completed here).
    const bool endsWithLineBreak = total > 0 && lineStart && !pendingCr;
    if (!Send(endsWithLineBreak ? ".\r\n" : "\r\n.\r\n", timeouts.dataBlock)) return false;
    // Once the end is out, the peer may take the message: its answer is
    // awaited within the stop's grace, so a stop does not make a duplicate.
    code = ReadReply(timeouts.dataEnd, true);
    if (code == "250") return true;
    PostStatusLine(code);
    return false;
}

bool CSmtpConnection::Reset() {
    if (!SendText("Rset\r\n")) return false;
    return ReadResponse() == "250";
}

void CSmtpConnection::Quit() {
    if (SendText("Quit\r\n")) ReadResponse();
}

bool CSmtpConnection::ExtendedLogin(int method, const std::string& user, const std::string& password) {
    switch (method) {
        case kCramMD5Method:
            return CramMd5(user, password);
        case kAuthLoginMethod:
            return AuthLogin(user, password);
        case kAuthPlainMethod:
            return AuthPlain(user, password);
        case kLoginPlainMethod: {
            g_moduleLog.WriteVerbose(
                StringPrintf("Attempting AuthLoginPlain..user =%s,pass = %s", user.c_str(), kMasked));
            const bool ok = AuthLoginPlain(user, password);
            g_moduleLog.Write(StringPrintf("LoginOk = %d", ok ? 1 : 0));
            return ok;
        }
        default:
            return false;
    }
}

bool CSmtpConnection::CramMd5(const std::string& user, const std::string& password) {
    if (!SendText("AUTH CRAM-MD5\r\n")) return false;
    if (ReadResponse() != "334") return false;
    const std::string challenge = UpToNul(CBase64Decoder().Decode(Challenge()));
    const std::string key = UpToNul(password);
    unsigned char digest[kMd5DigestLength];
    HmacMd5(challenge.data(), challenge.size(), key.data(), key.size(), digest);
    const std::string answer = user + " " + DigestToHex(digest);
    if (!SendText(CBase64Encoder().Encode(answer) + "\r\n")) return false;
    return ReadResponse() == "235";
}

bool CSmtpConnection::AuthPlain(const std::string& user, const std::string& password) {
    // No authorization identity: the server derives it from the user (RFC 4616).
    std::string message;
    message += '\0';
    message += UpToNul(user);
    message += '\0';
    message += UpToNul(password);
    const bool sent = SendText("AUTH PLAIN " + CBase64Encoder().Encode(message) + "\r\n");
    std::fill(message.begin(), message.end(), '\0');
    return sent && ReadResponse() == "235";
}

bool CSmtpConnection::AuthLogin(const std::string& user, const std::string& password) {
    const CBase64Decoder decoder;
    const CBase64Encoder encoder;
    if (!SendText("AUTH LOGIN\r\n")) return false;
    if (ReadResponse() != "334" || UpToNul(decoder.Decode(Challenge())) != "Username:") return false;
    if (!SendText(encoder.Encode(user) + "\r\n")) return false;
    if (ReadResponse() != "334" || UpToNul(decoder.Decode(Challenge())) != "Password:") return false;
    if (!SendText(encoder.Encode(password) + "\r\n")) return false;
    return ReadResponse() == "235";
}

bool CSmtpConnection::AuthLoginPlain(const std::string& user, const std::string& password) {
    static const std::string kAuthLogin = "AUTH LOGIN\r\n";
    g_moduleLog.WriteVerbose(StringPrintf("sending data %s", kAuthLogin.c_str()));
    if (!SendText(kAuthLogin)) {
        g_moduleLog.Write("An unexpected error occurred while sending the AUTH command\n");
        return false;
    }
    std::string code = ReadResponse();
    g_moduleLog.WriteVerbose(StringPrintf("Response = %s", code.c_str()));
    if (code != "334") {
        g_moduleLog.Write("Server does not support AUTH LOGIN PLAIN!\n");
        return false;
    }
    g_moduleLog.WriteVerbose(StringPrintf("ServerResponse = %s", finalLine.c_str()));
    if (finalLine.size() < 5) {
        g_moduleLog.Write("Invalid response length");
        return false;
    }
    const std::string prompt = Challenge();
    g_moduleLog.WriteVerbose(StringPrintf("authenticating user - %s", prompt.c_str()));
    g_moduleLog.WriteVerbose("comparing response");
    if (prompt.compare(0, 12, "VXNlcm5hbWU6") != 0) {
        g_moduleLog.Write("comparison failed");
        return false;
    }

    const CBase64Encoder encoder;
    g_moduleLog.WriteVerbose("encoding user name");
    std::size_t length = user.size();
    std::unique_ptr<char[]> encodedUser = encoder.Encode(user.data(), length);
    if (!encodedUser) {
        g_moduleLog.Write("base64encoding failed...");
        return false;
    }
    g_moduleLog.WriteVerbose(StringPrintf("Plain name = %s, Encoded Name=%s,", user.c_str(), encodedUser.get()));
    const std::string userLine = StringPrintf("%s\r\n", encodedUser.get());
    g_moduleLog.WriteVerbose(StringPrintf("Sending user information..%s", userLine.c_str()));
    if (!SendText(userLine)) {
        g_moduleLog.Write("An unexpected error occurred while sending the username\n");
        return false;
    }
    code = ReadResponse();
    g_moduleLog.WriteVerbose(StringPrintf("Response = %s", code.c_str()));
    if (code != "334") {
        g_moduleLog.Write("Server did not response correctly to AUTH LOGIN PLAIN username field!\n");
        return false;
    }

    g_moduleLog.WriteVerbose("authenticating password");
    if (Challenge().compare(0, 12, "UGFzc3dvcmQ6") != 0) return false;
    g_moduleLog.WriteVerbose("Encoding Password");
    length = password.size();
    std::unique_ptr<char[]> encodedPassword = encoder.Encode(password.data(), length);
    if (!encodedPassword) {
        g_moduleLog.Write("base64encoding failed...");
        return false;
    }
    g_moduleLog.WriteVerbose(StringPrintf("Plain password = %s, Encoded password=%s,", kMasked, kMasked));
    const std::string passwordLine = StringPrintf("%s\r\n", encodedPassword.get());
    g_moduleLog.WriteVerbose(StringPrintf("Sending password information..%s", kMasked));
    if (!SendText(passwordLine)) {
        g_moduleLog.Write("An unexpected error occurred while sending the password\n");
        return false;
    }
    code = ReadResponse();
    g_moduleLog.WriteVerbose(StringPrintf("Response = %s", code.c_str()));
    if (code == "235") {
        g_moduleLog.WriteVerbose("Authentication success!");
        return true;
    }
    return false;
}
