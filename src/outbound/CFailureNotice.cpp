// CFailureNotice: the notice's recipient, boundary and layout.
#include "outbound/CFailureNotice.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <vector>

#include "foundation/CMailContent.h"
#include "foundation/CTempMailContent.h"
#include "foundation/DateText.h"
#include "message/MessageIdText.h"
#include "platform/Text.h"

namespace {

// The failed message is copied into the notice in blocks of this size.
constexpr std::uint32_t kCopyBlock = 64 * 1024;

bool WriteText(CMailContent& out, const std::string& text) {
    return out.Write(text.data(), static_cast<std::uint32_t>(text.size()));
}

// The address a "From" value names: the text inside its first "<...>"
// ("" when the ">" is missing), or the whole value without brackets.
std::string BracketedAddress(const std::string& value) {
    const std::size_t open = value.find('<');
    if (open == std::string::npos) return value;
    const std::size_t close = value.find('>', open + 1);
    if (close == std::string::npos) return {};
    return value.substr(open + 1, close - open - 1);
}

}  // namespace

CFailureNotice::~CFailureNotice() = default;

const char* CFailureNotice::ReasonText(std::uint32_t failureCode, std::string_view reply) {
    // The reply's class says whether the refusal was for good (5yz) or for
    // now (4yz); without one, only that it did not succeed.
    const char replyClass = reply.empty() ? '\0' : reply.front();
    switch (failureCode) {
        case 1:
            return "Host Unreachable";
        case 2:
            if (replyClass == '5') return "Recipient Refused";
            if (replyClass == '4') return "Recipient Temporarily Refused";
            return "Recipient Not Accepted";
        case 3:
            if (replyClass == '5') return "Message Refused";
            if (replyClass == '4') return "Message Temporarily Refused";
            return "Network Problem";
        case 4:
            return "Internal Server Problem";
        case 5:
            return "Host Unknown";
        case 6:
            if (replyClass == '5') return "Message Refused";
            if (replyClass == '4') return "Message Temporarily Refused";
            return "Remote Host Returned Error on this account";
        default:
            return "Unknown Error Occur";
    }
}

std::string CFailureNotice::MakeBoundary() {
    // Unseeded, every process would open with the same boundaries; the MX
    // resolver reseeds the same generator from the clock as it goes.
    static std::once_flag seeded;
    std::call_once(seeded, [] {
        std::srand(static_cast<unsigned>(std::time(nullptr)) ^ (static_cast<unsigned>(::getpid()) << 8));
    });
    std::string text = "QIRN";
    for (int i = 0; i < 8; ++i) {
        double r = std::rand();
        if (r >= 1000) r /= 1000;
        if (r <= 9) r *= 100;
        if (r <= 99) r *= 10;
        text += std::to_string(static_cast<long>(r));
    }
    return text;
}

bool CFailureNotice::IsUsableAddress(std::string_view address) {
    if (address.empty() || address.size() > kMaxAddress) return false;
    if (address.find('@', 1) == std::string_view::npos) return false;
    for (char c : address) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) return false;
    }
    return true;
}

bool CFailureNotice::ReadFailedSender() {
    const std::string sender = BracketedAddress(std::string(Trim(envelopeSender)));
    recipient = IsUsableAddress(sender) ? sender : std::string();
    return !recipient.empty();
}

void CFailureNotice::Compose() {
    notice.reset();
    auto out = std::make_unique<CTempMailContent>();
    if (!out->Open()) return;
    header = CMailHeader();
    header.SetField("From", from);
    header.SetField("To", recipient);
    header.SetField("Subject", kSubject);
    header.SetField("Date", MailDateText(std::time(nullptr)));
    header.SetField("Message-ID", NewMessageId());
    header.SetField("MIME-Version", "1.0");
    boundary = MakeBoundary();
    header.SetField("Content-Type", "multipart/mixed; boundary=\"" + boundary + "\"");
    // A notice cut short by a failed write is not sent as if whole.
    if (!WriteNotice(*out)) return;
    out->Rewind();
    notice = std::move(out);
}

bool CFailureNotice::WriteNotice(CMailContent& out) {
    const std::string opening = header.Format() + "\r\n" + "--" + boundary + "\r\n" +
                                "Content-Type: text/plain; charset=us-ascii\r\n" +
                                "Content-Transfer-Encoding: 7bit\r\n\r\n" + reasonText;
    const std::string attachment = "\r\n\r\n--" + boundary + "\r\n" + "Content-Type: message/rfc822\r\n" +
                                   "Content-Transfer-Encoding: 7bit\r\n" + "Content-Disposition: attachment\r\n\r\n";
    if (!WriteText(out, opening) || !WriteText(out, attachment)) return false;
    if (failedMessage && !WriteFailedMessage(out)) return false;
    return WriteText(out, "\r\n--" + boundary + "--\r\n\r\n");
}

bool CFailureNotice::WriteFailedMessage(CMailContent& out) {
    failedMessage->Rewind();
    const bool cut = attachLimit != 0 && failedMessage->GetLength() > attachLimit;
    std::vector<char> block(kCopyBlock);
    std::string tail;  // a cut message's last block, held to end it at a line
    for (std::uint64_t copied = 0; !cut || copied < attachLimit;) {
        const auto ask = static_cast<std::uint32_t>(cut ? std::min<std::uint64_t>(kCopyBlock, attachLimit - copied)
                                                        : kCopyBlock);
        const int n = failedMessage->Read(block.data(), ask);
        if (n < 0) return false;
        if (n == 0) break;
        copied += static_cast<std::uint64_t>(n);
        if (cut && copied >= attachLimit) {
            tail.assign(block.data(), static_cast<std::size_t>(n));
            break;
        }
        if (!out.Write(block.data(), static_cast<std::uint32_t>(n))) return false;
    }
    if (!cut) return true;
    // A cut message ends with its last whole line, so the attachment never
    // stops inside a line (or a multi-byte character).
    const std::size_t lineEnd = tail.rfind("\r\n");
    tail.resize(lineEnd == std::string::npos ? 0 : lineEnd + 2);
    return WriteText(out, tail);
}

std::unique_ptr<CMailContent> CFailureNotice::GetNotice() {
    return std::move(notice);
}
