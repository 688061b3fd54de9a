// CNetwareImport: reading, rewriting and sending a Netware outbox file.
#include "spool/CNetwareImport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <algorithm>
#include <memory>
#include <optional>

#include "delivery/CNetwareExport.h"
#include "store/CUserRecord.h"
#include "foundation/CModuleLog.h"
#include "foundation/CTempMailContent.h"
#include "store/CNetwareRows.h"
#include "foundation/SettingValue.h"
#include "foundation/SettingsCatalogue.h"
#include "foundation/StringFormat.h"
#include "message/AddressFunctions.h"
#include "message/CMailHeader.h"
#include "platform/FileIo.h"
#include "platform/Text.h"
#include "platform/UniqueFd.h"
#include "smtp/CLocalHandBack.h"

namespace {

constexpr std::size_t kBlockSize = 65536;
// The local SMTP server's own limit when none is configured.
// Recipients taken from one file; more is no office client's message.
constexpr std::size_t kMaxRecipients = 1000;

std::string Trimmed(std::string_view text) {
    return std::string(CMailHeader::TrimBlanks(text));
}

// The largest message the local SMTP server accepts.
std::uint64_t MaxMessageSize() {
    return settings::Dword{settings::kPorts, "SMTP Max Message Size"}.Value();
}

// One piece of a recipient list: the text in angle brackets, without a
// parenthesised comment.
std::string RecipientOf(std::string piece) {
    piece = Trimmed(piece);
    const std::size_t open = piece.find('<');
    const std::size_t close = open == std::string::npos ? std::string::npos : piece.find('>', open);
    if (close != std::string::npos) piece = piece.substr(open + 1, close - open - 1);
    const std::size_t left = piece.find('(');
    const std::size_t right = left == std::string::npos ? std::string::npos : piece.find(')', left);
    if (right != std::string::npos) piece.erase(left, right - left + 1);
    return Trimmed(piece);
}

void AddRecipients(const std::string& list, std::vector<std::string>& recipients) {
    std::size_t start = 0;
    while (start <= list.size() && recipients.size() < kMaxRecipients) {
        // Line breaks part the values of a repeated or folded field too.
        const std::size_t end = list.find_first_of(",;\r\n", start);
        const std::string address =
            RecipientOf(list.substr(start, end == std::string::npos ? std::string::npos : end - start));
        // A control character has no place in a path and would reach the session.
        const bool clean = std::none_of(address.begin(), address.end(),
                                        [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
        if (!address.empty() && clean) recipients.push_back(address);
        if (end == std::string::npos) break;
        start = end + 1;
    }
}

// Cut at the first CR or LF: one line of a folded value.
std::string FirstLine(const std::string& value) {
    return Trimmed(std::string_view(value).substr(0, value.find_first_of("\r\n")));
}

bool HasLineBreak(const std::string& text) {
    return text.find_first_of("\r\n") != std::string::npos;
}

// The file renamed to "NAME.bad" (numbered when taken), so no scan offers it again.
void SetAside(const std::string& path, const std::string& why) {
    std::string aside;
    bool moved = false;
    for (unsigned n = 0; n < 100 && !moved; ++n) {
        aside = n == 0 ? path + ".bad" : StringPrintf("%s.%u.bad", path.c_str(), n);
        moved = RenameNoReplace(path, aside);
        if (!moved && errno != EEXIST) break;
    }
    if (moved)
        g_moduleLog.Write(
            StringPrintf("*** Netware file %s set aside as %s: %s", path.c_str(), aside.c_str(), why.c_str()));
    else
        g_moduleLog.Write(StringPrintf("*** Netware file %s skipped: %s (it cannot be set aside: %s)", path.c_str(),
                                       why.c_str(), std::strerror(errno)));
}

CNetwareImport::Outcome Keep(const std::string& path, const std::string& why) {
    g_moduleLog.Write(StringPrintf("Netware file %s kept for the next scan: %s", path.c_str(), why.c_str()));
    return CNetwareImport::Outcome::Kept;
}

// The sender line of the file's login name, or empty when unresolved.
std::string ResolveSender(SQLHDBC connection, const CNetwareImport::Head& head) {
    bool failed = false;
    const std::optional<long> accountId = CNetwareRows::AccountOfLogin(connection, head.loginName, failed);
    if (failed) return "";
    if (!accountId) return HasLineBreak(head.senderText) ? "" : head.senderText;
    const std::unique_ptr<CUserRecord> record = CUserRecord::Fetch(connection, *accountId);
    if (!record || !record->IsLoaded()) return "";
    const std::optional<NetwareSettings> settings = CNetwareExport::LoadNetwareSettings(connection, *accountId);
    if (!settings) return "";
    return CNetwareImport::SenderLine(settings->Address());
}

}  // namespace

CNetwareImport::Head CNetwareImport::ReadHead(std::string_view text, bool wholeFile) {
    Head head;
    if (text.empty()) {
        head.problem = "the file is empty";
        return head;
    }
    if (std::memchr(text.data(), '\0', text.size()) != nullptr) {
        head.problem = "not a message (it holds NUL bytes)";
        return head;
    }
    const std::size_t lineFeed = text.find('\n');
    if (lineFeed == std::string_view::npos) {
        head.problem = wholeFile ? "not a message (no line ends)" : "not a message (its first line does not end)";
        return head;
    }
    head.firstLineLength = lineFeed + 1;
    CMailHeader header;
    if (header.Parse(text.data(), text.size(), false) != -1) {
        head.problem = wholeFile ? "cut off: the header does not end" : "not a message (its header does not end)";
        return head;
    }

    std::string sender = Trimmed(header.GetField("Resent-from"));
    if (sender.empty()) sender = Trimmed(header.GetField("From"));
    const std::size_t slash = sender.rfind('/');
    if (slash != std::string::npos) {
        head.loginName = Trimmed(std::string_view(sender).substr(slash + 1));
        head.senderText = Trimmed(std::string_view(sender).substr(0, slash));
    }

    // One list only: Resent-to, else Bcc, else To and Cc.
    const std::string resentTo = FirstLine(header.GetField("Resent-to"));
    const std::string bcc = Trimmed(header.GetField("Bcc"));
    if (!resentTo.empty()) {
        AddRecipients(resentTo, head.recipients);
    } else if (!bcc.empty()) {
        AddRecipients(bcc, head.recipients);
    } else {
        AddRecipients(header.GetField("To"), head.recipients);
        AddRecipients(header.GetField("Cc"), head.recipients);
    }
    if (sender.empty() && head.recipients.empty()) head.problem = "not a message (no sender and no recipient)";
    return head;
}

std::string CNetwareImport::SenderLine(const std::string& stored) {
    const std::string address = Trimmed(stored);
    if (address.empty() || HasLineBreak(address)) return "";
    const std::size_t open = address.find('<');
    const std::size_t close = open == std::string::npos ? std::string::npos : address.find('>', open);
    if (close == std::string::npos) return "\"\"<" + address + ">";
    std::string display = Trimmed(std::string_view(address).substr(0, open));
    const std::size_t firstQuote = display.find('"');
    const std::size_t lastQuote = display.rfind('"');
    if (firstQuote != std::string::npos && lastQuote > firstQuote)
        display = display.substr(firstQuote + 1, lastQuote - firstQuote - 1);
    else if (firstQuote != std::string::npos)
        display.erase(firstQuote, 1);
    return "\"" + display + "\"<" + Trimmed(std::string_view(address).substr(open + 1, close - open - 1)) + ">";
}

std::string CNetwareImport::SenderPath(const std::string& senderLine) {
    return Trimmed(ExtractAngleAddress(senderLine));
}

CNetwareImport::Outcome CNetwareImport::ImportNetwareFile(SQLHDBC connection, const std::string& path,
                                                          std::time_t now) {
    UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!file) {
        // Gone already (another scan, the client took it back): nothing to do.
        if (errno == ENOENT) return Outcome::Kept;
        if (errno == ELOOP) {
            SetAside(path, "a symbolic link, not a file of the client's");
            return Outcome::SetAside;
        }
        return Keep(path, std::string("it cannot be opened: ") + std::strerror(errno));
    }
    struct stat before {};
    if (::fstat(file.Get(), &before) != 0 || !S_ISREG(before.st_mode)) {
        SetAside(path, "not a regular file");
        return Outcome::SetAside;
    }
    // A time ahead of the clock says nothing; the copy's own check still holds.
    const std::time_t age = now - before.st_mtime;
    if (age >= 0 && age < kSettleSeconds) return Keep(path, "it is still being written");
    const std::uint64_t size = static_cast<std::uint64_t>(before.st_size);
    if (size > MaxMessageSize()) {
        SetAside(path, StringPrintf("%llu bytes is more than the local SMTP server takes",
                                    static_cast<unsigned long long>(size)));
        return Outcome::SetAside;
    }

    std::string headText(std::min<std::uint64_t>(size, kHeadBytes), '\0');
    std::size_t got = 0;
    while (got < headText.size()) {
        const ssize_t n = ::read(file.Get(), headText.data() + got, headText.size() - got);
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    if (got < headText.size()) return Keep(path, "it ended while it was read");
    const Head head = ReadHead(headText, size <= kHeadBytes);
    if (!head.problem.empty()) {
        SetAside(path, head.problem);
        return Outcome::SetAside;
    }
    if (head.loginName.empty()) return Keep(path, "its sender names no Netware login (\"name/LOGIN\")");
    if (head.recipients.empty()) {
        SetAside(path, "it names no recipient");
        return Outcome::SetAside;
    }
    const std::string senderLine = ResolveSender(connection, head);
    if (senderLine.empty()) return Keep(path, "its sender " + head.loginName + " cannot be resolved");

    // The message as it goes out: the sender line replaced, the rest as written.
    CTempMailContent message;
    if (!message.Open()) return Keep(path, "no temporary file");
    const std::string first = "From: " + senderLine + "\r\n";
    bool copied = message.Write(first.data(), static_cast<std::uint32_t>(first.size())) &&
                  message.Write(headText.data() + head.firstLineLength,
                                static_cast<std::uint32_t>(headText.size() - head.firstLineLength));
    std::uint64_t total = headText.size();
    std::vector<char> block(kBlockSize);
    while (copied && total <= size) {
        const ssize_t n = ::read(file.Get(), block.data(), block.size());
        if (n < 0) copied = false;
        if (n <= 0) break;
        total += static_cast<std::uint64_t>(n);
        if (total <= size) copied = message.Write(block.data(), static_cast<std::uint32_t>(n));
    }
    struct stat after {};
    if (!copied || ::fstat(file.Get(), &after) != 0) return Keep(path, "it could not be copied");
    if (total != size || after.st_size != before.st_size || after.st_mtime != before.st_mtime)
        return Keep(path, "it changed while it was read");
    file.Reset();

    const std::string senderPath = SenderPath(senderLine);
    CLocalHandBack::Envelope envelope;
    envelope.sender = senderPath;
    for (const std::string& recipient : head.recipients) envelope.recipients.push_back({recipient, {}, false});
    const CLocalHandBack::Result handed = CLocalHandBack::Once({}, envelope, message);
    if (handed.failedAt == CLocalHandBack::Step::Connect) return Keep(path, "the local SMTP server cannot be reached");
    if (handed.failedAt == CLocalHandBack::Step::Sender)
        return Keep(path, "the local SMTP server refused the sender " + senderPath);
    const std::size_t accepted = handed.AcceptedCount();
    if (!handed.sent)
        return Keep(path, accepted == 0 ? "the local SMTP server refused every recipient"
                                        : "the local SMTP server did not take the message");
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        // Sent, but it would be sent again at the next scan: move it out of the way.
        SetAside(path, std::string("sent, but it cannot be deleted: ") + std::strerror(errno));
        return Outcome::Delivered;
    }
    g_moduleLog.Write(StringPrintf("Netware file %s sent from %s to %zu of %zu recipients", path.c_str(),
                                   senderPath.c_str(), accepted, head.recipients.size()));
    return Outcome::Delivered;
}
