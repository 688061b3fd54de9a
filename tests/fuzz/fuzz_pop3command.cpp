// Fuzzes what the POP3 server module takes from a client and what it sends
// back: the input is played as a whole session (without a mailbox, so every
// login fails) over a socket pair, and each of its lines is parsed alone;
// the same bytes, as a stored message, go through the dot-stuffing of RETR
// and TOP. The session must answer every line with a whole status line and
// end; a stuffed message must never show a bare LF or an unstuffed dot
// line, and must not depend on how its blocks were split.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "CClientAddress.h"
#include "CDotStuffer.h"
#include "CLoginThrottle.h"
#include "CPop3Command.h"
#include "CPop3Session.h"
#include "CPop3Settings.h"
#include "FuzzRequire.h"
#include "SessionSocket.h"
#include "platform/UniqueFd.h"

namespace {

constexpr std::size_t kMaxInput = 16 * 1024;

void PlaySession(std::string_view input) {
    CLoginThrottle throttle;
    CPop3Session::Environment environment;
    environment.throttle = &throttle;
    CPop3Settings settings;
    settings.commandTimeoutMs = 2000;
    settings.failureStepMs = 0;
    SessionSocket socket([&](UniqueFd server) {
        CPop3Session pop3(std::move(server), CClientAddress::FromText("192.0.2.1"), environment, settings);
        pop3.Run();
    });
    // The greeting comes first, before anything is sent.
    std::string replies;
    while (replies.find("\r\n") == std::string::npos && socket.Receive(replies) > 0) {
    }
    Require(replies.rfind("+OK ", 0) == 0);
    socket.Send(input);
    const ssize_t n = socket.ReceiveAll(replies);
    socket.Join();
    // A session that hangs up on input it has not read resets the link, and
    // what was under way may be cut; after an orderly end every reply is whole.
    if (n == 0) Require(replies.size() >= 2 && replies.compare(replies.size() - 2, 2, "\r\n") == 0);
}

std::string Stuff(std::string_view message, std::size_t split, long lines) {
    CDotStuffer stuffer(lines);
    std::string out;
    if (stuffer.Feed(message.substr(0, split), out)) stuffer.Feed(message.substr(split), out);
    stuffer.Finish(out);
    return out;
}

void CheckStuffed(const std::string& out) {
    Require(out.size() >= 3 && out.compare(out.size() - 3, 3, ".\r\n") == 0);
    std::size_t start = 0;
    while (start < out.size()) {
        const std::size_t lf = out.find('\n', start);
        Require(lf != std::string::npos && lf > start && out[lf - 1] == '\r');
        const std::string_view line(out.data() + start, lf - 1 - start);
        const bool last = lf + 1 == out.size();
        if (last)
            Require(line == ".");
        else if (!line.empty() && line[0] == '.')
            Require(line.size() >= 2 && line[1] == '.');
        start = lf + 1;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > kMaxInput) return 0;
    const std::string_view input(reinterpret_cast<const char*>(data), size);

    std::size_t start = 0;
    while (start < input.size()) {
        std::size_t end = input.find('\n', start);
        if (end == std::string_view::npos) end = input.size();
        const CPop3Command command = CPop3Command::Parse(std::string(input.substr(start, end - start)));
        for (const std::string& argument : command.Arguments()) {
            Require(!argument.empty() && argument.find(' ') == std::string::npos);
            if (const auto number = CPop3Command::Number(argument)) Require(*number >= 1 && *number <= 999999999);
        }
        start = end + 1;
    }

    const long lines = size > 0 ? static_cast<long>(data[0] % 8) - 1 : CDotStuffer::kWholeMessage;
    const std::string whole = Stuff(input, input.size(), lines);
    CheckStuffed(whole);
    Require(Stuff(input, size / 2, lines) == whole);
    Require(Stuff(input, size > 0 ? 1 : 0, lines) == whole);

    PlaySession(input);
    return 0;
}
