// Fuzzes what the IMAP server module takes from a client: each line (and
// the whole input, literals included) goes through the command parser, the
// literal and sequence-set readers and the modified UTF-7 decoder; then the
// input is played as a whole session over a socket pair against an
// in-memory mailbox with one message, where any login succeeds. The parser
// must never accept a value it cannot give back whole, mUTF-7 must round
// trip, and the session must end with whole lines when the client stops.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "CClientAddress.h"
#include "CImapCommandParser.h"
#include "CImapSession.h"
#include "CImapSettings.h"
#include "CLoginThrottle.h"
#include "CModifiedUtf7.h"
#include "FakeMailboxStore.h"
#include "FuzzRequire.h"
#include "SessionSocket.h"
#include "platform/UniqueFd.h"

namespace {

constexpr std::size_t kMaxInput = 16 * 1024;

void CheckParse(std::string_view text) {
    const auto command = CImapCommandParser::Parse(text);
    if (command.Ok()) {
        Require(!command.tag.empty() && !command.name.empty());
        Require(command.arguments.size() <= CImapCommandParser::kMaxArguments);
    }
    if (const auto literal = CImapCommandParser::TrailingLiteral(text)) Require(literal->size < 100000000000ull);
    if (const auto ranges = CImapCommandParser::SequenceSet(text))
        for (const auto& [low, high] : *ranges) (void)low, (void)high;
    if (const auto decoded = CModifiedUtf7::Decode(text)) {
        const auto encoded = CModifiedUtf7::Encode(*decoded);
        if (encoded) Require(CModifiedUtf7::Decode(*encoded) == decoded);
    }
}

void PlaySession(std::string_view input) {
    auto box = std::make_shared<FakeMailbox>();
    box->Deliver("Inbox", "Subject: hi\r\n\r\nbody\r\n");
    CLoginThrottle throttle;
    CImapSession::Environment environment;
    environment.throttle = &throttle;
    environment.login = [](const std::string&, const std::string&) {
        CImapLoginResult result;
        result.outcome = CImapLoginResult::Outcome::Ok;
        return result;
    };
    environment.openMailbox = [box](long) { return OpenFakeMailbox(box); };
    CImapSettings settings;
    settings.commandTimeoutMs = 2000;
    settings.autologoutMs = 2000;
    settings.failureStepMs = 0;
    settings.idleSliceMs = 50;
    SessionSocket socket([&](UniqueFd server) {
        CImapSession imap(std::move(server), CClientAddress::FromText("192.0.2.1"), environment, settings);
        imap.Run();
    });
    socket.Send(input);
    std::string replies;
    const ssize_t n = socket.ReceiveAll(replies);
    socket.Join();
    Require(replies.rfind("* OK ", 0) == 0);
    if (n == 0) Require(replies.size() >= 2 && replies.compare(replies.size() - 2, 2, "\r\n") == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > kMaxInput) return 0;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    CheckParse(input);
    std::size_t start = 0;
    while (start < input.size()) {
        std::size_t end = input.find('\n', start);
        if (end == std::string_view::npos) end = input.size();
        std::string_view line = input.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        CheckParse(line);
        start = end + 1;
    }
    PlaySession(input);
    return 0;
}
