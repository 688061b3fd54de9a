// TLS and authenticated submission through the real program, spoken to by
// real clients: swaks with STARTTLS and with implicit TLS (AUTH PLAIN and
// LOGIN), curl with --ssl-reqd and smtps://, openssl s_client -starttls
// smtp, and smtplib (STARTTLS with LOGIN, implicit TLS, CRAM-MD5 in the
// clear). The submission port refuses mail without a login and a wrong
// password; commands pipelined behind STARTTLS are dropped; testssl finds
// no weak protocol, cipher or renegotiation.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <filesystem>
#include <map>
#include <sstream>

#include "E2eFixture.h"
#include "platform/TlsContext.h"
#include "platform/TlsStream.h"

namespace {

class E2eTls : public E2eFixture {
protected:
    void SetUp() override {
        E2eFixture::SetUp();
        submission = FreePort();
        smtps = FreePort();
        ASSERT_TRUE(home.SetDword("Ports", "Submission Port", static_cast<std::uint32_t>(submission)));
        ASSERT_TRUE(home.SetDword("Ports", "SMTPS Port", static_cast<std::uint32_t>(smtps)));
    }

    void StartAll() {
        StartServer();
        ASSERT_TRUE(WaitForPort(submission) && WaitForPort(smtps)) << server.Output();
    }

    RunResult Swaks(int onPort, const std::vector<std::string>& extra) {
        std::vector<std::string> argv = {"swaks",         "--server",        "127.0.0.1:" + std::to_string(onPort),
                                         "--from",        "alice@localhost", "--to",
                                         "bob@localhost", "--timeout",       "30"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        return RunProgram(argv);
    }

    int submission = 0;
    int smtps = 0;
};

std::string Ascii(int port) {
    return std::to_string(port);
}

}  // namespace

TEST_F(E2eTls, RealClientsSubmitOverTlsWithALoginAndNothingElsePasses) {
    StartAll();
    // swaks: STARTTLS + PLAIN on the submission port, implicit TLS + LOGIN on SMTPS.
    RunResult r = Swaks(submission, {"--tls", "--auth", "PLAIN", "--auth-user", "alice", "--auth-password", "secret12",
                                     "--header", "Subject: swaks plain"});
    ASSERT_EQ(r.status, 0) << r.output;
    r = Swaks(smtps, {"--tlsc", "--auth", "LOGIN", "--auth-user", "alice", "--auth-password", "secret12", "--header",
                      "Subject: swaks login"});
    ASSERT_EQ(r.status, 0) << r.output;
    // No login, a wrong password, PLAIN in the clear: refused.
    r = Swaks(submission, {"--tls", "--header", "Subject: never"});
    EXPECT_NE(r.output.find("* 530 5.7.0"), std::string::npos) << r.output;
    r = Swaks(submission, {"--tls", "--auth", "PLAIN", "--auth-user", "alice", "--auth-password", "wrong"});
    EXPECT_NE(r.output.find("* 535 5.7.8"), std::string::npos) << r.output;
    r = Swaks(submission, {"--auth", "PLAIN", "--auth-user", "alice", "--auth-password", "secret12"});
    EXPECT_NE(r.status, 0) << r.output;

    // curl: STARTTLS required on the SMTP port, and smtps:// with a login.
    const std::string mail = home.File("curl.eml");
    TestHome::WriteFile(mail, "From: alice@localhost\r\nSubject: curl tls\r\n\r\nover TLS\r\n");
    r = RunProgram({"curl", "-sS", "--max-time", "30", "--ssl-reqd", "-k", "--url", "smtp://127.0.0.1:" + Ascii(port),
                    "--mail-from", "alice@localhost", "--mail-rcpt", "bob@localhost", "--upload-file", mail});
    ASSERT_EQ(r.status, 0) << r.output;
    r = RunProgram({"curl", "-sS", "--max-time", "30", "-k", "--url", "smtps://127.0.0.1:" + Ascii(smtps), "--user",
                    "alice:secret12", "--mail-from", "alice@localhost", "--mail-rcpt", "bob@localhost", "--upload-file",
                    mail});
    ASSERT_EQ(r.status, 0) << r.output;

    // openssl s_client: a whole pipelined transaction inside STARTTLS.
    r = RunProgram({"sh", "-c",
                    "printf 'EHLO s.test\\r\\nMAIL FROM:<alice@localhost>\\r\\nRCPT TO:<bob@localhost>\\r\\nDATA\\r\\n"
                    "Subject: s_client\\r\\n\\r\\nhi\\r\\n.\\r\\nQUIT\\r\\n' | openssl s_client -quiet -starttls smtp "
                    "-connect 127.0.0.1:" +
                        Ascii(port) + " 2>&1"});
    EXPECT_NE(r.output.find("250 OK: queued"), std::string::npos) << r.output;

    // smtplib: STARTTLS and LOGIN, implicit TLS, and CRAM-MD5 on a plain connection.
    r = Python(
        "import smtplib, ssl, sys\n"
        "ctx = ssl._create_unverified_context()\n"
        "p = int(sys.argv[1])\n"
        "s = smtplib.SMTP('127.0.0.1', " +
        Ascii(submission) +
        ", timeout=30)\n"
        "s.starttls(context=ctx); s.login('alice', 'secret12')\n"
        "s.sendmail('alice@localhost', ['bob@localhost'], 'Subject: smtplib starttls\\r\\n\\r\\nx\\r\\n')\n"
        "s.quit()\n"
        "s = smtplib.SMTP_SSL('127.0.0.1', " +
        Ascii(smtps) +
        ", context=ctx, timeout=30)\n"
        "s.login('alice', 'secret12')\n"
        "s.sendmail('alice@localhost', ['bob@localhost'], 'Subject: smtplib implicit\\r\\n\\r\\nx\\r\\n')\n"
        "s.quit()\n"
        "s = smtplib.SMTP('127.0.0.1', " +
        Ascii(submission) +
        ", timeout=30)\n"
        "s.ehlo(); print(s.esmtp_features.get('auth')); s.login('alice', 'secret12')\n"
        "s.sendmail('alice@localhost', ['bob@localhost'], 'Subject: smtplib cram\\r\\n\\r\\nx\\r\\n')\n"
        "s.quit()\n");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, " CRAM-MD5\n");

    ASSERT_TRUE(WaitForMail("bob", 8)) << server.Output();
    std::string received;
    for (const std::string& text : home.InboxTexts("bob")) received += text.substr(0, text.find(";\r\n\t")) + "\n";
    // Every trace line says TLS, and those of a login whose it was.
    EXPECT_NE(received.find("with ESMTPSA (authenticated as alice; TLSv1.3 "), std::string::npos) << received;
    EXPECT_NE(received.find("with ESMTPA (authenticated as alice)"), std::string::npos) << received;
    EXPECT_NE(received.find("with ESMTPS (TLSv1.3 "), std::string::npos) << received;
    EXPECT_EQ(home.InboxFiles("bob").size(), 8u);
    const std::string log =
        home.Files("logs", "", ".log").empty() ? "" : TestHome::ReadFile(home.Files("logs", "", ".log").back());
    EXPECT_EQ(log.find("secret12"), std::string::npos);
    EXPECT_NE(log.find("SMTP AUTH PLAIN of alice from 127.0.0.1 failed"), std::string::npos) << log;
}

TEST_F(E2eTls, CommandsPipelinedBehindStarttlsAreDroppedAndTheSessionStartsOver) {
    StartAll();
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(submission));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    SmtpClient plain;
    plain.Adopt(UniqueFd(::dup(fd.Get())));
    ASSERT_EQ(Code(plain.Reply()), 220);
    ASSERT_EQ(Code(plain.Command("EHLO inject.test")), 250);
    // The injected AUTH would count as sent inside TLS on a vulnerable server.
    ASSERT_EQ(Code(plain.Command("STARTTLS\r\nAUTH PLAIN AGFsaWNlAHNlY3JldDEy")), 220);

    TlsContext context;
    std::string reason;
    ASSERT_TRUE(context.InitClient(false, "", reason)) << reason;
    TlsStream tls;
    ASSERT_EQ(tls.Connect(context, fd.Get(), "localhost", -1, 30000), TlsStream::Status::Ok) << tls.Reason();
    const auto deadline = [] { return std::chrono::steady_clock::now() + std::chrono::seconds(30); };
    auto command = [&](const std::string& line) {
        const std::string sent = line + "\r\n";
        std::string reply;
        if (tls.Write(sent.data(), sent.size(), deadline()) != TlsStream::Status::Ok) return reply;
        char buffer[4096];
        while (reply.size() < 4 || reply.back() != '\n' || reply[reply.rfind('\n', reply.size() - 2) + 4] == '-') {
            std::size_t n = 0;
            if (tls.Read(buffer, sizeof buffer, n, deadline()) != TlsStream::Status::Ok) break;
            reply.append(buffer, n);
        }
        return reply;
    };
    // No EHLO yet: the greeting before TLS no longer counts, and neither does the injected login.
    EXPECT_EQ(Code(command("MAIL FROM:<alice@localhost>")), 503);
    const std::string ehlo = command("EHLO inject.test");
    EXPECT_EQ(ehlo.find("STARTTLS"), std::string::npos) << ehlo;
    EXPECT_NE(ehlo.find("AUTH PLAIN LOGIN CRAM-MD5"), std::string::npos) << ehlo;
    EXPECT_EQ(Code(command("MAIL FROM:<alice@localhost>")), 530);
    EXPECT_EQ(Code(command("STARTTLS")), 503);
    EXPECT_EQ(Code(command("QUIT")), 221);
}

TEST_F(E2eTls, TestsslFindsNoWeakProtocolCipherOrRenegotiation) {
    if (RunProgram({"sh", "-c", "command -v testssl"}).status != 0) GTEST_SKIP() << "testssl is not installed";
    StartAll();
    const std::string csv = home.File("testssl.csv");
    const RunResult r = RunProgram({"testssl", "--quiet", "--color", "0", "--warnings", "off", "--fast", "-p", "-s",
                                    "-R", "--csvfile", csv, "-t", "smtp", "127.0.0.1:" + Ascii(port)},
                                   std::chrono::seconds(300));
    ASSERT_TRUE(std::filesystem::exists(csv)) << r.output;
    const std::string found = TestHome::ReadFile(csv);
    // "id","fqdn/ip","port","severity","finding",...: the finding of each check.
    std::map<std::string, std::string> findings;
    std::istringstream lines(found);
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> fields;
        for (std::size_t at = 1; at < line.size() && fields.size() < 5;) {
            const std::size_t end = line.find('"', at);
            fields.push_back(line.substr(at, end - at));
            at = end == std::string::npos ? line.size() : end + 3;
        }
        if (fields.size() == 5) findings[fields[0]] = fields[4];
    }
    EXPECT_EQ(findings["TLS1"], "not offered");
    EXPECT_EQ(findings["TLS1_1"], "not offered");
    EXPECT_EQ(findings["TLS1_3"].rfind("offered", 0), 0u);
    EXPECT_EQ(findings["secure_client_renego"], "not vulnerable");
    for (const char* bad : {"\"LOW\"", "\"MEDIUM\"", "\"HIGH\"", "\"CRITICAL\""})
        EXPECT_EQ(found.find(bad), std::string::npos) << bad << "\n" << found;
}

TEST_F(E2eTls, AKeyThatIsNotTheCertificatesLeavesPlainServiceWithOneLine) {
    // The key of another certificate.
    const RunResult made =
        RunProgram({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                    "-subj", "/CN=other", "-keyout", home.File("other.key"), "-out", home.File("other.crt")});
    ASSERT_EQ(made.status, 0) << made.output;
    ASSERT_EQ(home.Velmora({"reg", "set", "TLS", "Key File", "string", home.File("other.key")}).status, 0);
    StartServer();
    EXPECT_NE(server.Output().find("velmora: SMTP TLS off (plain service only): the key file " +
                                   home.File("other.key") + " does not belong to the certificate"),
              std::string::npos)
        << server.Output();
    EXPECT_EQ(server.Output().find("SMTPS listening"), std::string::npos) << server.Output();
    SmtpClient client;
    ASSERT_TRUE(client.Connect(submission));
    ASSERT_EQ(Code(client.Reply()), 220);
    const std::string ehlo = client.Command("EHLO plain.test");
    EXPECT_EQ(ehlo.find("STARTTLS"), std::string::npos) << ehlo;
    EXPECT_EQ(Code(client.Command("STARTTLS")), 454);
    EXPECT_EQ(Code(client.Command("AUTH PLAIN AGFsaWNlAHNlY3JldDEy")), 538);
    EXPECT_EQ(Code(client.Command("QUIT")), 221);
}
