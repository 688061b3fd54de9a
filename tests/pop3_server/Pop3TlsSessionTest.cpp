// One POP3 session over a socket pair for a client outside the office's
// networks: with RequireTLSForLogin, USER waits for (and is advertised only
// inside) TLS; a command pipelined behind STLS is dropped.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <thread>

#include "CListenerTls.h"
#include "CPop3Session.h"
#include "TestHome.h"
#include "TestPeers.h"
#include "platform/TlsContext.h"
#include "platform/TlsStream.h"

TEST(Pop3TlsSession, OutsideClientsLogInOnlyInsideTlsAndPipelinedInputIsDropped) {
    TestHome home;
    ASSERT_EQ(MakeTestCertificates(home.File("pki")), "");
    CListenerTls tls;
    ASSERT_TRUE(tls.LoadFiles("POP3", home.File("pki/server.pem"), home.File("pki/server.key")));
    CLoginThrottle throttle;
    CPop3Settings settings;
    settings.requireTlsForLogin = true;
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    std::thread server([&, fd = pair[1]] {
        CPop3Session(UniqueFd(fd), CClientAddress::FromText("203.0.113.7"), {nullptr, &throttle, -1, &tls}, settings)
            .Run();
    });
    const UniqueFd mine(pair[0]);
    TlsContext context;
    std::string why;
    ASSERT_TRUE(context.InitClient(false, "", why));
    TlsStream stream;
    // Sends a command, then reads one line, or a listing through ".".
    const auto ask = [&](const std::string& command, const char* end = "\r\n") {
        const auto deadline = TlsStream::Clock::now() + std::chrono::seconds(10);
        const bool secure = stream.Established();
        secure ? (void)stream.Write(command.data(), command.size(), deadline)
               : (void)::send(mine.Get(), command.data(), command.size(), MSG_NOSIGNAL);
        std::string answer;
        char c = 0;
        for (std::size_t got = 0;
             !answer.ends_with(end) &&
             (secure ? stream.Read(&c, 1, got, deadline) == TlsStream::Status::Ok : ::recv(mine.Get(), &c, 1, 0) == 1);)
            answer += c;
        return answer;
    };
    EXPECT_TRUE(ask("").starts_with("+OK"));
    EXPECT_EQ(ask("CAPA\r\n", "\r\n.\r\n").find("\r\nUSER"), std::string::npos);
    EXPECT_TRUE(ask("USER ann\r\n").starts_with("-ERR"));
    EXPECT_EQ(ask("STLS\r\nUSER evil\r\n"), "+OK Begin TLS negotiation\r\n");
    ASSERT_EQ(stream.Connect(context, mine.Get(), "localhost", -1, 10000), TlsStream::Status::Ok);
    EXPECT_EQ(ask("PASS x\r\n"), "-ERR USER first\r\n") << "a command sent in the clear counted inside TLS";
    const std::string capabilities = ask("CAPA\r\n", "\r\n.\r\n");
    EXPECT_TRUE(capabilities.find("\r\nUSER") != std::string::npos && capabilities.find("STLS") == std::string::npos)
        << capabilities;
    EXPECT_TRUE(ask("USER ann\r\n").starts_with("+OK"));
    EXPECT_TRUE(ask("QUIT\r\n").starts_with("+OK"));
    server.join();
}
