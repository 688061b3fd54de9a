// Fuzzes what the SMTP server module parses from a client: command lines as
// the bounded reader takes them off a socket, the verb and argument of each,
// the MAIL and RCPT paths with their parameters, AUTH arguments and every
// line as an AUTH response (PLAIN, LOGIN, CRAM-MD5: what comes out is one
// clean name and password, or nothing), and message data with its
// end-of-data line and dot removal. Accepted paths must be safe and parse
// again to themselves; the data must give the same stored text however the
// bytes are split, and never more than its limit.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "CDataReceiver.h"
#include "CLineReader.h"
#include "CSmtpAuthentication.h"
#include "CSmtpCommand.h"
#include "CSmtpPath.h"
#include "FuzzRequire.h"
#include "foundation/CMailContent.h"
#include "message/Md5.h"
#include "platform/UniqueFd.h"

namespace {

// A message content in memory: the fuzzer's inputs are small.
class MemoryContent : public CMailContent {
public:
    std::uint32_t GetLength() override { return static_cast<std::uint32_t>(text.size()); }
    void Rewind() override {}
    int Read(void*, std::uint32_t) override { return 0; }
    bool Write(const void* buffer, std::uint32_t count) override {
        text.append(static_cast<const char*>(buffer), count);
        return true;
    }
    bool Open() override { return true; }
    std::string text;
};

void CheckPath(const std::string& argument, std::string_view keyword) {
    CSmtpPath path;
    if (path.Parse(argument, keyword) != CSmtpPath::Status::Ok) return;
    Require(path.LocalPart().size() <= CSmtpPath::kMaxLocalPart && path.Domain().size() <= CSmtpPath::kMaxDomain);
    if (!path.IsNull()) {
        Require(CSmtpPath::IsLocalPart(path.LocalPart()));
        Require(path.Domain().empty() || CSmtpPath::IsDomainName(path.Domain()) ||
                CSmtpPath::IsAddressLiteral(path.Domain()));
    }
    // What is stored, logged and looked up has no blank, bracket or control character.
    for (char c : path.Address()) Require(static_cast<unsigned char>(c) > 0x20 && c != '<' && c != '>' && c != 0x7F);
    CSmtpPath again;
    Require(again.Parse(std::string(keyword) + "<" + path.Address() + ">", keyword) == CSmtpPath::Status::Ok);
    Require(again.Address() == path.Address());
    std::string_view list = path.Parameters();
    std::string name, value;
    std::size_t count = 0;
    while (CSmtpPath::NextParameter(list, name, value)) Require(++count <= path.Parameters().size());
}

bool IsClean(const std::string& text, std::size_t limit) {
    return !text.empty() && text.size() <= limit && text.find_first_of(std::string("\0\r\n", 3)) == std::string::npos;
}

// Every line may be a client's answer to a 334 challenge.
void CheckResponse(const std::string& line) {
    using Auth = CSmtpAuthentication;
    std::string bytes, user, password;
    if (Auth::DecodeBase64(line, bytes)) {
        const std::size_t padding = line.size() - line.find_last_not_of('=') - 1;
        Require(line.size() % 4 == 0 && padding <= 2 && bytes.size() == line.size() / 4 * 3 - padding);
    }
    if (Auth::DecodePlain(line, user, password))
        Require(IsClean(user, Auth::kMaxName) && IsClean(password, Auth::kMaxPassword));
    else
        Require(user.empty() && password.empty());
    if (Auth::DecodeLoginLine(line, user, Auth::kMaxName)) Require(IsClean(user, Auth::kMaxName));
    std::string digest;
    if (Auth::DecodeCramResponse(line, user, digest)) {
        Require(IsClean(user, Auth::kMaxName) && digest.size() == 32);
        Require(digest.find_first_not_of("0123456789abcdef") == std::string::npos);
        // A match is exactly the keyed digest of the challenge, whatever the case of the hex.
        unsigned char expected[kMd5DigestLength];
        const std::string challenge = "<1.2@host>";
        HmacMd5(challenge.data(), challenge.size(), user.data(), user.size(), expected);
        Require(Auth::CramMatches(challenge, user, digest) == (digest == DigestToHex(expected)));
    }
}

void CheckCommands(const std::string& input) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return;
    UniqueFd server(pair[0]), client(pair[1]);
    // The inputs are far below a socket's buffer: all of it is there before reading.
    if (::send(client.Get(), input.data(), input.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(input.size())) return;
    client.Reset();
    CLineReader reader(server.Get(), -1, 512, 1000);
    std::string line;
    for (;;) {
        const CLineReader::Status status = reader.ReadLine(line);
        if (status == CLineReader::Status::TooLong) continue;
        if (status != CLineReader::Status::Ok) break;
        // 512 with the line end; a bare LF leaves 511.
        Require(line.size() <= 511 && line.find('\n') == std::string::npos);
        const CSmtpCommand command = CSmtpCommand::Parse(line);
        Require(command.Argument().size() < line.size() || command.Argument().empty());
        if (command.GetVerb() == CSmtpCommand::Verb::Mail) CheckPath(command.Argument(), "FROM:");
        if (command.GetVerb() == CSmtpCommand::Verb::Rcpt) CheckPath(command.Argument(), "TO:");
        CheckResponse(line);
        if (command.GetVerb() == CSmtpCommand::Verb::Auth) {
            std::string mechanism, initial;
            CSmtpAuthentication::SplitArgument(command.Argument(), mechanism, initial);
            Require(mechanism.size() + initial.size() <= command.Argument().size());
            CSmtpAuthentication::ParseMechanism(mechanism);
            CheckResponse(initial);
        }
    }
}

struct Received {
    std::string text;
    std::size_t used = 0;
    bool complete = false;
    bool overflowed = false;
};

Received Receive(std::string_view input, std::size_t piece, std::uint64_t limit) {
    MemoryContent content;
    CDataReceiver receiver(content, limit);
    Received result;
    while (result.used < input.size() && !receiver.Complete()) {
        const std::size_t size = piece < input.size() - result.used ? piece : input.size() - result.used;
        const std::size_t used = receiver.Feed(input.data() + result.used, size);
        Require(used <= size);
        result.used += used;
        if (used < size) Require(receiver.Complete());
    }
    Require(receiver.Finish());
    result.complete = receiver.Complete();
    result.overflowed = receiver.Overflowed();
    result.text = content.text;
    Require(result.text.size() <= limit);
    return result;
}

void CheckData(std::string_view input, unsigned char control) {
    const std::uint64_t limit = control & 1 ? 64 + control : 1 << 20;
    const Received whole = Receive(input, input.size() + 1, limit);
    const Received pieces = Receive(input, 1 + control % 7, limit);
    Require(whole.text == pieces.text && whole.used == pieces.used && whole.complete == pieces.complete &&
            whole.overflowed == pieces.overflowed);
    if (whole.overflowed) Require(whole.text.empty());
    if (whole.complete) Require(whole.used >= 3 && input.substr(whole.used - 3, 3) == ".\r\n");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0 || size > 65536) return 0;
    const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
    CheckCommands(input);
    CheckData(input, data[0]);
    return 0;
}
