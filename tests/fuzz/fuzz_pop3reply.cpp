// Fuzzes the POP3 client with whatever a remote server may send: the input
// is the server's side of a whole session (greeting, login, count, listing,
// header, two retrievals, a deletion), played over a socket pair. The client
// must end, keep every unique id and message within its bounds, and store a
// message the same however the bytes were split.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "FuzzRequire.h"
#include "SessionSocket.h"
#include "foundation/CTempMailContent.h"
#include "platform/UniqueFd.h"
#include "retrieval/CDotUnstuffer.h"
#include "retrieval/CPop3Connection.h"

namespace {

constexpr std::size_t kMaxInput = 64 * 1024;
constexpr std::uint64_t kMaxMessage = 16 * 1024;

std::string ContentText(CTempMailContent& content) {
    content.Rewind();
    std::string text;
    char block[4096];
    for (int n; (n = content.Read(block, sizeof block)) > 0;) text.append(block, static_cast<std::size_t>(n));
    return text;
}

void PlaySession(std::string_view input) {
    int pair[2];
    Require(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0);
    UniqueFd server(pair[0]);
    // The server's bytes go out on their own thread: the client reads them as
    // it pleases, and its hang-up ends a write it no longer wants.
    std::thread writer([&] { SessionSocket::SendWhole(server.Get(), input); });
    CPop3Connection pop;
    pop.SetReplyWait(std::chrono::milliseconds(200));
    pop.SetListingIdle(std::chrono::milliseconds(200));
    pop.SetMaxMessageBytes(kMaxMessage);
    if (pop.Attach(UniqueFd(pair[1]))) {
        pop.Login("user", "password");
        const int count = pop.GetMessageCount();
        Require(count >= -1 && count <= 999999999);
        if (pop.LoadUidlList(count < 0 ? 0 : std::min(count, 1000))) {
            for (const std::string& uid : pop.UidlList()) Require(uid.size() <= CPop3Connection::kMaxUidLength);
        }
        Require(pop.GetUidl(1).size() < CPop3Connection::kReplyBufferSize);
        pop.GetMessageSize(1);
        std::string header;
        if (pop.RetrieveHeader(1, header, 4096)) Require(header.size() <= 4096);
        for (int number = 1; number <= 2; ++number) {
            const std::unique_ptr<CTempMailContent> message = pop.RetrieveMessage(number);
            if (!message) continue;
            const std::string text = ContentText(*message);
            Require(text.size() <= kMaxMessage);
        }
        pop.DeleteMessage(1);
        pop.Quit();
    }
    pop.Close();
    writer.join();
}

// The unstuffer's result must not depend on where a piece ends.
void CheckSplit(std::string_view input) {
    CDotUnstuffer whole;
    std::string one;
    const std::size_t taken = whole.Feed(input.data(), input.size(), one);
    const std::size_t split = input.empty() ? 0 : static_cast<unsigned char>(input[0]) % input.size();
    CDotUnstuffer parts;
    std::string two;
    std::size_t taken2 = parts.Feed(input.data(), split, two);
    if (!parts.Done()) taken2 += parts.Feed(input.data() + split, input.size() - split, two);
    Require(one == two && taken == taken2 && whole.Done() == parts.Done());
    Require(one.size() <= taken);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > kMaxInput) return 0;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    CheckSplit(input);
    PlaySession(input);
    return 0;
}
