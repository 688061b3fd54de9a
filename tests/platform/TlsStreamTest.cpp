// The TLS layer: a self-signed pair from MakeSelfSignedCertificate serves a
// handshake and data both ways; a verifying client accepts it only through
// its CA file and under its own name; a silent or stopped handshake ends on
// time; a missing or mismatched key is named and refused.
#include <gtest/gtest.h>

#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <string>

#include "platform/SelfSignedCertificate.h"
#include "platform/TlsContext.h"
#include "platform/TlsStream.h"
#include "platform/UniqueFd.h"

namespace {

using Status = TlsStream::Status;
using Clock = std::chrono::steady_clock;

struct TempDir {
    std::string path;
    TempDir() {
        char name[] = "/tmp/velmora-tls-XXXXXX";
        path = ::mkdtemp(name);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
};

struct Pair {
    UniqueFd server, client;
    Pair() {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0) {
            server.Reset(fds[0]);
            client.Reset(fds[1]);
        }
    }
};

// One client handshake against a server context; the client's status, and
// the server's through serverStatus.
Status Handshake(const TlsContext& server, const TlsContext& client, const std::string& name, Status& serverStatus) {
    Pair pair;
    TlsStream accepted, connected;
    auto serving = std::async(std::launch::async, [&] { return accepted.Accept(server, pair.server.Get(), -1, 5000); });
    const Status status = connected.Connect(client, pair.client.Get(), name, -1, 5000);
    if (status != Status::Ok) pair.client.Reset();  // the server must not wait for a client that gave up
    serverStatus = serving.get();
    return status;
}

}  // namespace

TEST(Tls, SelfSignedPairCarriesDataAndIsVerifiedOnlyThroughItsCaUnderItsName) {
    TempDir dir;
    const std::string cert = dir.path + "/cert.pem", key = dir.path + "/key.pem";
    std::string reason;
    ASSERT_TRUE(MakeSelfSignedCertificate("mail.example.test", cert, key, reason)) << reason;
    struct stat info {};
    ASSERT_EQ(::stat(key.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_FALSE(MakeSelfSignedCertificate("mail.example.test", cert, key, reason)) << "never overwrites";

    TlsContext server;
    ASSERT_TRUE(server.InitServer(cert, key, reason)) << reason;

    // Data both ways, more than one record, over an unverified client.
    TlsContext anyPeer;
    ASSERT_TRUE(anyPeer.InitClient(false, "", reason)) << reason;
    {
        Pair pair;
        TlsStream accepted, connected;
        auto serving = std::async(std::launch::async, [&] {
            if (accepted.Accept(server, pair.server.Get(), -1, 5000) != Status::Ok) return std::string("no handshake");
            std::string got;
            char buffer[4096];
            while (got.size() < 100000) {
                std::size_t n = 0;
                if (accepted.Read(buffer, sizeof buffer, n, Clock::now() + std::chrono::seconds(5)) != Status::Ok)
                    return std::string("read failed");
                got.append(buffer, n);
            }
            accepted.Write(got.data(), 5, Clock::now() + std::chrono::seconds(5));
            return got;
        });
        ASSERT_EQ(connected.Connect(anyPeer, pair.client.Get(), "mail.example.test", -1, 5000), Status::Ok)
            << connected.Reason();
        EXPECT_EQ(connected.Description().rfind("TLSv1.3 ", 0), 0u) << connected.Description();
        const std::string sent(100000, 'x');
        ASSERT_EQ(connected.Write(sent.data(), sent.size(), Clock::now() + std::chrono::seconds(5)), Status::Ok);
        char back[8];
        std::size_t n = 0;
        ASSERT_EQ(connected.Read(back, sizeof back, n, Clock::now() + std::chrono::seconds(5)), Status::Ok);
        EXPECT_EQ(std::string(back, n), "xxxxx");
        EXPECT_EQ(serving.get(), sent);
        connected.Shutdown();
    }

    Status serverStatus;
    TlsContext systemStore, withCa;
    ASSERT_TRUE(systemStore.InitClient(true, "", reason)) << reason;
    ASSERT_TRUE(withCa.InitClient(true, cert, reason)) << reason;
    EXPECT_EQ(Handshake(server, withCa, "mail.example.test", serverStatus), Status::Ok);
    EXPECT_EQ(serverStatus, Status::Ok);
    EXPECT_EQ(Handshake(server, withCa, "other.example.test", serverStatus), Status::Failed);
    EXPECT_EQ(Handshake(server, systemStore, "mail.example.test", serverStatus), Status::Failed);
    EXPECT_NE(serverStatus, Status::Ok);
}

TEST(Tls, SilentOrStoppedHandshakesEndOnTimeAndBadFilesAreNamed) {
    TempDir dir;
    const std::string cert = dir.path + "/cert.pem", key = dir.path + "/key.pem", other = dir.path + "/other.pem";
    std::string reason;
    ASSERT_TRUE(MakeSelfSignedCertificate("a.test", cert, key, reason)) << reason;
    ASSERT_TRUE(MakeSelfSignedCertificate("b.test", dir.path + "/b.pem", other, reason)) << reason;
    TlsContext server;
    ASSERT_TRUE(server.InitServer(cert, key, reason));

    {
        Pair pair;  // a client that connects and says nothing
        TlsStream stream;
        const auto start = Clock::now();
        EXPECT_EQ(stream.Accept(server, pair.server.Get(), -1, 300), Status::TimedOut);
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
    }
    {
        Pair pair;
        UniqueFd stop(::eventfd(1, EFD_CLOEXEC));
        TlsStream stream;
        EXPECT_EQ(stream.Accept(server, pair.server.Get(), stop.Get(), 60000), Status::Stopped);
    }
    {
        Pair pair;  // a peer that speaks something else entirely
        ASSERT_EQ(::send(pair.client.Get(), "EHLO x\r\n", 8, 0), 8);
        TlsStream stream;
        EXPECT_EQ(stream.Accept(server, pair.server.Get(), -1, 5000), Status::Failed);
        EXPECT_FALSE(stream.Reason().empty());
    }

    TlsContext bad;
    EXPECT_FALSE(bad.InitServer(cert, other, reason));
    EXPECT_NE(reason.find("does not belong"), std::string::npos) << reason;
    EXPECT_FALSE(bad.InitServer(dir.path + "/missing.pem", key, reason));
    EXPECT_NE(reason.find(dir.path + "/missing.pem"), std::string::npos) << reason;
    EXPECT_FALSE(bad.InitServer(cert, "", reason));
    EXPECT_FALSE(bad.Ready());
}
