// The IMAP server module in the real program: `velmora setup` registers it,
// `velmora run` loads it, and it answers CAPABILITY on the configured port.
// Real mail clients against it are the IMAP end-to-end suite's.
#include <cstdlib>
#include <filesystem>
#include <string>

#include "E2eFixture.h"

namespace {

// Greeting, CAPABILITY and LOGOUT over a plain socket; prints what came back.
const char* const kCapability = R"(import socket, sys
s = socket.create_connection(('127.0.0.1', int(sys.argv[1])), timeout=30)
f = s.makefile('rb')
print(f.readline().decode().strip())
s.sendall(b'a CAPABILITY\r\nb LOGOUT\r\n')
for line in f:
    print(line.decode().strip())
    if line.startswith(b'b '): break
)";

// imaplib on the real mailbox: login, SELECT, the delivered message read
// whole, flagged and searched. Prints what the test compares.
const char* const kImaplib = R"(import imaplib, sys
m = imaplib.IMAP4('127.0.0.1', int(sys.argv[1]))
m.login('alice', 'secret12')
typ, data = m.select('INBOX')
print('select', typ, data[0].decode())
typ, data = m.uid('FETCH', '1:*', '(UID RFC822.SIZE BODY.PEEK[])')
open(sys.argv[2], 'wb').write(data[0][1])
typ, data = m.store('1', '+FLAGS', '(\\Flagged)')
print('store', typ)
typ, data = m.search(None, 'FLAGGED')
print('search', data[0].decode())
m.logout()
)";

class E2eImap : public E2eFixture {};

TEST_F(E2eImap, ProgramLoadsModuleAndAnswersCapability) {
    const char* build = std::getenv("VELMORA_BUILD_DIR");
    if (!build || !std::filesystem::exists(std::string(build) + "/bin/IMAP_Server.so"))
        GTEST_SKIP() << "IMAP_Server.so is not built";
    const int imapPort = FreePort();
    ASSERT_TRUE(home.SetDword("Ports", "IMAP Port", static_cast<std::uint32_t>(imapPort)));
    StartServer();
    ASSERT_TRUE(WaitForPort(imapPort, std::chrono::seconds(10))) << server.Output();
    const RunResult py = RunProgram({"python3", "-c", kCapability, std::to_string(imapPort)});
    ASSERT_EQ(py.status, 0) << py.output;
    EXPECT_EQ(py.output.rfind("* OK [CAPABILITY IMAP4rev1", 0), 0u) << py.output;
    EXPECT_NE(py.output.find("* CAPABILITY IMAP4rev1 LITERAL+"), std::string::npos) << py.output;
    EXPECT_NE(py.output.find("IDLE"), std::string::npos) << py.output;
    EXPECT_NE(py.output.find("b OK"), std::string::npos) << py.output;

    // A message delivered by SMTP, read back whole over IMAP from the shared mailbox layer.
    {
        SmtpClient client;
        Open(client);
        ASSERT_EQ(Code(Transaction(client, "bob@localhost", {"alice@localhost"},
                                   "From: bob@localhost\r\nTo: alice@localhost\r\nSubject: hi\r\n\r\nbody\r\n")),
                  250);
    }
    ASSERT_TRUE(WaitForMail("alice", 1)) << server.Output();
    const std::string read = home.File("tmp") + "/imap-read";
    const RunResult imaplib = RunProgram({"python3", "-c", kImaplib, std::to_string(imapPort), read});
    ASSERT_EQ(imaplib.status, 0) << imaplib.output << server.Output();
    EXPECT_EQ(imaplib.output, "select OK 1\nstore OK\nsearch 1\n");
    const std::vector<std::string> stored = home.InboxTexts("alice");
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(TestHome::ReadFile(read), stored[0]);
}

}  // namespace
