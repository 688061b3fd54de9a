// System notices end to end: composed into a temporary message file and
// sent to a real SMTP server (aiosmtpd) standing in for the local SMTP
// server on the configured loopback port, which records what it accepts.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <thread>

#include "TestContent.h"
#include "TestHome.h"
#include "foundation/CTempMailContent.h"
#include "foundation/SettingsCatalogue.h"
#include "platform/Registry.h"
#include "platform/UniqueFd.h"
#include "delivery/CGeneratedMailPolicy.h"
#include "spool/CSystemNotice.h"

namespace {

namespace fs = std::filesystem;

// A message from a client that may relay: its notices may go anywhere.
const CGeneratedMailPolicy kRelaying("ann@example.org", true, nullptr);

// Records each accepted message as msgN.eml (bytes as received) and msgN.env
// (sender, then the recipients), written before the 250 reply goes out.
const char* const kPeerScript = R"PY(
import os, sys, time
from aiosmtpd.controller import Controller

class Recorder:
    def __init__(self, directory):
        self.directory = directory
        self.count = 0
    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        base = os.path.join(self.directory, "msg%d" % self.count)
        with open(base + ".eml.part", "wb") as f:
            f.write(envelope.original_content)
        with open(base + ".env.part", "w") as f:
            f.write(envelope.mail_from + "\n" + "\n".join(envelope.rcpt_tos) + "\n")
        os.rename(base + ".env.part", base + ".env")
        os.rename(base + ".eml.part", base + ".eml")
        return "250 OK"

controller = Controller(Recorder(sys.argv[2]), hostname="127.0.0.1", port=int(sys.argv[1]))
controller.start()
print("READY", flush=True)
while True:
    time.sleep(3600)
)PY";

int FreePort() {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return -1;
    socklen_t length = sizeof address;
    ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

bool Accepts(int port) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return ::connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

void SetPort(int port) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, settings::kPortsKeyPath, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    DWORD value = static_cast<DWORD>(port);
    RegSetValueEx(key, "SMTP Port", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    RegCloseKey(key);
}

// The recording server as a child process in its own group; stopped and
// reaped by the destructor.
class RecordingServer {
public:
    ~RecordingServer() {
        if (pid > 0) {
            ::kill(-pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
    }
    bool Start(const std::string& directory) {
        this->directory = directory + "/received";
        fs::create_directories(this->directory);
        const std::string script = directory + "/peer.py";
        TestHome::WriteFile(script, kPeerScript);
        port = FreePort();
        const std::string portText = std::to_string(port);
        const std::string log = directory + "/peer.log";
        pid = ::fork();
        if (pid == 0) {
            ::setpgid(0, 0);
            FILE* out = std::freopen(log.c_str(), "w", stdout);
            (void)out;
            ::dup2(STDOUT_FILENO, STDERR_FILENO);
            ::execl("/usr/bin/python3", "python3", script.c_str(), portText.c_str(), this->directory.c_str(),
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        if (pid < 0) return false;
        ::setpgid(pid, pid);
        // Readiness, bounded: a server that never listens fails the test.
        for (int i = 0; i < 400; ++i) {
            if (Accepts(port)) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    int Port() const { return port; }
    int Count() const {
        int n = 0;
        while (fs::exists(directory + "/msg" + std::to_string(n + 1) + ".eml")) ++n;
        return n;
    }
    std::string Content(int n) const { return TestHome::ReadFile(directory + "/msg" + std::to_string(n) + ".eml"); }
    std::string Envelope(int n) const { return TestHome::ReadFile(directory + "/msg" + std::to_string(n) + ".env"); }

private:
    pid_t pid = -1;
    int port = 0;
    std::string directory;
};

// "Sun, 06 Dec 2026 10:00:00 +0530"
const std::string kDate =
    "(Mon|Tue|Wed|Thu|Fri|Sat|Sun), \\d\\d (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
    "\\d{4} \\d\\d:\\d\\d:\\d\\d [+-]\\d{4}";

std::string HeaderBlock(const std::string& to, const std::string& subject) {
    return "From: postmaster\r\nTo: " + to + "\r\nSubject: " + subject + "\r\nDate: " + kDate +
           "\r\nX-MSMail-Priority: Normal\r\nX-Priority: 3\r\nX-Mailer: Tessal Notification\r\n"
           "MIME-Version: 1\\.0\r\nContent-Type: text/plain; charset=ISO-8859-1\r\n"
           "Content-Transfer-Encoding: 7bit\r\n\r\n";
}

class SystemNoticeTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(home.Provision()); }
    TestHome home;
};

TEST_F(SystemNoticeTest, ComposedNoticeHasTheHeaderBlockAndSummaryLines) {
    auto notice = Content("");
    ASSERT_TRUE(
        CSystemNotice::ComposeNotice(*notice, "ann@example.org", "Message Delivery Error",
                                     CSystemNotice::FirstSentenceOf(CSystemNotice::Kind::ReceivingQuotaExceeded), false,
                                     "Sun, 06 Dec 2026 10:00:00 +0000", "carol@mail.local", "It's big"));
    const std::string expected =
        HeaderBlock("ann@example\\.org", "Message Delivery Error") +
        "The following mail of yours could not be delivered to recipient due to quota restriction\\.\r\n"
        "\r\n Date : Sun, 06 Dec 2026 10:00:00 \\+0000\r\n To : carol@mail\\.local\r\n Subject : It's big";
    const std::string text = ReadAll(*notice);
    EXPECT_TRUE(std::regex_match(text, std::regex(expected))) << text;

    // A confirmation carries the time after its sentence; missing values stay empty.
    auto confirmation = Content("");
    ASSERT_TRUE(CSystemNotice::ComposeNotice(
        *confirmation, "bob@example.org\r\nBcc: victim@example.org", "Message Read Confirmation",
        CSystemNotice::FirstSentenceOf(CSystemNotice::Kind::Read), true, "", "carol@mail.local", ""));
    const std::string read = ReadAll(*confirmation);
    EXPECT_TRUE(std::regex_match(
        read, std::regex(HeaderBlock("bob@example\\.org  Bcc: victim@example\\.org", "Message Read Confirmation") +
                         "The following mail of yours has been read by the recipient on " + kDate +
                         "\\.\r\n\r\n Date : \r\n To : carol@mail\\.local\r\n Subject : ")))
        << read;
}

TEST_F(SystemNoticeTest, NoticeGoesToTheConfiguredLocalPortFromThePostmaster) {
    RecordingServer server;
    ASSERT_TRUE(server.Start(home.Path()));
    SetPort(server.Port());

    auto original = Content(
        "From: Ann <ann@example.org>\r\nTo: carol@mail.local\r\nSubject: Report\r\n"
        "Date: Sun, 06 Dec 2026 10:00:00 +0000\r\n\r\nbody\r\n");
    ASSERT_TRUE(CSystemNotice::Issue(CSystemNotice::Kind::Delivered, "Ann <ann@example.org>", "carol@corp.example",
                                     *original, kRelaying));
    ASSERT_EQ(server.Count(), 1);
    EXPECT_EQ(server.Envelope(1), "postmaster@127.0.0.1\nann@example.org\n");
    const std::string text = server.Content(1);
    EXPECT_TRUE(std::regex_match(
        text, std::regex(HeaderBlock("Ann <ann@example\\.org>", "Message Delivery Confirmation") +
                         "The following mail of yours has been delivered to the recipient on " + kDate +
                         "\\.\r\n\r\n Date : Sun, 06 Dec 2026 10:00:00 \\+0000\r\n To : carol@corp\\.example"
                         "\r\n Subject : Report\r\n")))
        << text;

    // A composed notice sent as it is.
    auto notice = Content("");
    ASSERT_TRUE(CSystemNotice::ComposeNotice(*notice, "x@example.org", "Message Delivery Error",
                                             CSystemNotice::FirstSentenceOf(CSystemNotice::Kind::ForwardingLoop), false,
                                             "", "fwd@mail.local", ""));
    ASSERT_TRUE(CSystemNotice::SendNotice(*notice, "x@example.org"));
    ASSERT_EQ(server.Count(), 2);
    EXPECT_EQ(server.Content(2), ReadAll(*notice) + "\r\n");

    // A notice about a notice is never sent.
    auto earlier = Content(server.Content(1));
    EXPECT_FALSE(CSystemNotice::Issue(CSystemNotice::Kind::ReceivingQuotaExceeded, "postmaster@127.0.0.1",
                                      "carol@corp.example", *earlier, kRelaying));
    EXPECT_EQ(server.Count(), 2);

    // Nobody to tell: nothing is sent.
    EXPECT_FALSE(CSystemNotice::SendNotice(*notice, "  "));
    EXPECT_EQ(server.Count(), 2);
}

TEST_F(SystemNoticeTest, NoListeningServerMeansNoNoticeAndNoHarm) {
    const int port = FreePort();
    ASSERT_GT(port, 0);
    SetPort(port);
    auto original = Content("Subject: x\r\n\r\nbody");
    EXPECT_FALSE(CSystemNotice::Issue(CSystemNotice::Kind::SendingQuotaExceeded, "a@b.example", "c@d.example",
                                      *original, kRelaying));
    // The message the notice was about is untouched and readable from the start.
    EXPECT_EQ(ReadAll(*original), "Subject: x\r\n\r\nbody");
}

TEST_F(SystemNoticeTest, DatesCarryTheMachinesNumericZoneOffset) {
    // The zone is the machine's own offset, not a fixed name.
    setenv("TZ", "Asia/Kolkata", 1);
    tzset();
    EXPECT_EQ(CSystemNotice::FormatDate(1765008000), "Sat, 06 Dec 2025 13:30:00 +0530");
    setenv("TZ", "America/St_Johns", 1);
    tzset();
    EXPECT_EQ(CSystemNotice::FormatDate(1765008000), "Sat, 06 Dec 2025 04:30:00 -0330");
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(CSystemNotice::FormatDate(1765008000), "Sat, 06 Dec 2025 08:00:00 +0000");
    unsetenv("TZ");
    tzset();
}

}  // namespace
