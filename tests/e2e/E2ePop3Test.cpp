// Stored mail read back over POP3 by real clients against `velmora run`:
// Python's poplib through the whole command set (what RETR gives is the
// stored file byte for byte, dot-stuffed lines included; DELE takes a
// message and its rows away at QUIT and not when the connection drops),
// curl's pop3:// and fetchmail into a file, keeping the mail and then not.
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "E2eFixture.h"

namespace {

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
    return text;
}

// count lines of 70 characters, CR LF between them.
std::string Lines(int count) {
    std::string text = std::string(70, 't');
    for (int i = 1; i < count; ++i) text += "\r\n" + std::string(70, 't');
    return text;
}

// Python's poplib through every command; it writes what RETR gave to
// DIR/retrN and prints what the test checks. argv: port, DIR.
const char* const kPoplib = R"(import poplib, socket, sys, time
port, out = int(sys.argv[1]), sys.argv[2]
def login(password='secret12'):
    p = poplib.POP3('127.0.0.1', port, timeout=30)
    p.user('alice'); p.pass_(password); return p
try:
    login('wrong'); print('wrong password taken')
except poplib.error_proto: pass
p = login()
count, total = p.stat(); print('stat', count, total)
print('list', *sorted(int(l.split()[1]) for l in p.list()[1]))
uids = [l.split()[1] for l in p.uidl()[1]]
print('uidl', len(set(uids)), p.uidl(1).split()[2] == uids[0])
for n in range(1, count + 1):
    lines = p.retr(n)[1]
    open(out + '/retr%d' % n, 'wb').write(b'\r\n'.join(lines) + b'\r\n')
    print('top', n, p.top(n, 1)[1] == lines[:lines.index(b'') + 2])
p.noop(); p.dele(1); print('after dele', p.stat()[0]); p.rset(); print('after rset', p.stat()[0])
p.dele(1); p.quit()
p = login(); p.dele(1); p.sock.shutdown(socket.SHUT_RDWR); p.file.close(); p.sock.close()
p = None
for attempt in range(500):
    try:
        p = login(); break
    except poplib.error_proto: time.sleep(0.02)
print('after drop', p.stat()[0]); p.quit()
)";

class E2ePop3 : public E2eFixture {
protected:
    void SetUp() override {
        E2eFixture::SetUp();
        if (HasFatalFailure()) return;
        pop3Port = FreePort();
        ASSERT_TRUE(home.SetDword("Ports", "POP3 Port", static_cast<std::uint32_t>(pop3Port)));
        // A committed deletion takes the message file too, not only its rows.
        ASSERT_TRUE(home.SetDword("Preferences", "CleanUpAfterDelete", 1));
    }
    // A clear skip while the module is not built, a clear failure when it is
    // built but nothing answers, never a hang.
    void StartPop3() {
        const char* build = std::getenv("VELMORA_BUILD_DIR");
        if (!build || !std::filesystem::exists(std::string(build) + "/bin/POP3_Server.so"))
            GTEST_SKIP() << "no POP3 listener: POP3_Server.so is not built";
        StartServer();
        ASSERT_TRUE(WaitForPort(pop3Port, std::chrono::seconds(10))) << "no POP3 listener on port " << pop3Port << "\n"
                                                                     << server.Output();
    }
    RunResult Fetchmail(const std::string& into, bool keep) {
        const std::string dir = home.File("fetchmail");
        std::filesystem::create_directories(dir);
        std::filesystem::permissions(dir, std::filesystem::perms::owner_all);
        const std::string rc = dir + "/fetchmailrc";
        TestHome::WriteFile(rc, "poll 127.0.0.1 protocol POP3 port " + std::to_string(pop3Port) +
                                    " user \"alice\" password \"secret12\" sslproto \"\" no sslcertck\n");
        std::filesystem::permissions(rc, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
        std::vector<std::string> argv = {"fetchmail", "--nodetach", "--nosyslog", "--fetchmailrc",
                                         rc,          "--all",      "--mda",      "cat >> " + into};
        if (keep) argv.push_back("--keep");
        return RunProgram(argv, std::chrono::seconds(60), {"FETCHMAILHOME=" + dir});
    }
    int pop3Port = 0;
};

TEST_F(E2ePop3, RealClientsReadWhatIsStored) {
    StartPop3();
    if (IsSkipped() || HasFatalFailure()) return;
    const std::vector<std::string> texts = {
        "From: bob@localhost\r\nTo: alice@localhost\r\nSubject: one\r\n\r\nthe first body",
        // Dot-stuffed on the wire: stored as ".leading", "..two" and ".".
        "From: bob@localhost\r\nTo: alice@localhost\r\nSubject: dots\r\n\r\n..leading\r\n...two\r\n..\r\nafter",
        "From: bob@localhost\r\nTo: alice@localhost\r\nSubject: three\r\n\r\n" + Lines(40)};
    {
        SmtpClient client;
        Open(client);
        for (const std::string& text : texts)
            ASSERT_EQ(Code(Transaction(client, "bob@localhost", {"alice@localhost"}, text)), 250);
        EXPECT_EQ(Code(client.Command("QUIT")), 221);
    }
    ASSERT_TRUE(WaitForMail("alice", 3)) << server.Output();
    const std::vector<std::string> files = home.InboxFiles("alice");
    std::vector<std::string> stored = home.InboxTexts("alice");
    ASSERT_EQ(stored.size(), 3u);
    EXPECT_EQ(
        std::count_if(stored.begin(), stored.end(),
                      [](const std::string& t) { return t.find("\r\n.leading\r\n..two\r\n.\r\nafter") != t.npos; }),
        1);

    // curl: LIST, and RETR 1 is one stored file whole.
    const std::string url = "pop3://127.0.0.1:" + std::to_string(pop3Port) + "/";
    const RunResult list = RunProgram({"curl", "-sS", "--max-time", "30", "-u", "alice:secret12", url});
    ASSERT_EQ(list.status, 0) << list.output;
    EXPECT_EQ(std::count(list.output.begin(), list.output.end(), '\n'), 3) << list.output;
    const RunResult first = RunProgram({"curl", "-sS", "--max-time", "30", "-u", "alice:secret12", url + "1"});
    ASSERT_EQ(first.status, 0) << first.output;
    EXPECT_EQ(std::count(stored.begin(), stored.end(), first.output), 1) << first.output;

    // poplib: every command; the messages it retrieved are the stored ones.
    const RunResult py = RunProgram({"python3", "-c", kPoplib, std::to_string(pop3Port), home.File("tmp")});
    ASSERT_EQ(py.status, 0) << py.output << server.Output();
    std::size_t total = 0;
    std::vector<std::size_t> sizes;
    for (const std::string& text : stored) sizes.push_back(text.size()), total += text.size();
    std::sort(sizes.begin(), sizes.end());
    const std::string expected = "stat 3 " + std::to_string(total) + "\nlist " + std::to_string(sizes[0]) + " " +
                                 std::to_string(sizes[1]) + " " + std::to_string(sizes[2]) +
                                 "\nuidl 3 True\ntop 1 True\ntop 2 True\ntop 3 True\nafter dele 2\nafter rset 3\n"
                                 "after drop 2\n";
    EXPECT_EQ(py.output, expected);
    std::vector<std::string> retrieved;
    for (int n = 1; n <= 3; ++n) retrieved.push_back(TestHome::ReadFile(home.File("tmp/retr" + std::to_string(n))));
    EXPECT_EQ(retrieved[0], first.output);
    std::vector<std::string> sortedStored = stored, sortedRetrieved = retrieved;
    std::sort(sortedStored.begin(), sortedStored.end());
    std::sort(sortedRetrieved.begin(), sortedRetrieved.end());
    EXPECT_EQ(sortedRetrieved, sortedStored);

    // QUIT removed message 1 (file and rows); the dropped session removed nothing.
    std::string deleted;
    for (std::size_t i = 0; i < files.size(); ++i)
        if (stored[i] == retrieved[0]) deleted = files[i];
    ASSERT_FALSE(deleted.empty());
    const std::string deletedId = std::filesystem::path(deleted).stem().string();
    ASSERT_TRUE(WaitUntil([&] { return home.InboxFiles("alice").size() == 2; }, kDeliveryWait));
    EXPECT_FALSE(std::filesystem::exists(deleted));
    EXPECT_EQ(home.SqlNumber("SELECT COUNT(*) FROM Mails WHERE mMailId = '" + deletedId + "'"), 0);
    EXPECT_EQ(home.SqlNumber("SELECT COUNT(*) FROM MailInfo WHERE mMailId = '" + deletedId + "'"), 0);
    EXPECT_EQ(home.SqlNumber("SELECT COUNT(*) FROM Mails"), 2);
    EXPECT_EQ(home.SqlNumber("SELECT COUNT(*) FROM MailInfo"), 2);

    // fetchmail hands each message to its MDA (with LF line ends after its
    // own Received line); with --keep the mailbox stays, without it empties.
    stored = home.InboxTexts("alice");
    for (const bool keep : {true, false}) {
        const std::string into = home.File(keep ? "kept.mbox" : "fetched.mbox");
        const RunResult fetch = Fetchmail(into, keep);
        ASSERT_EQ(fetch.status, 0) << fetch.output;
        const std::string got = TestHome::ReadFile(into);
        for (const std::string& text : stored)
            EXPECT_NE(got.find(Replace(text, "\r\n", "\n")), std::string::npos) << got;
        EXPECT_TRUE(WaitUntil([&] { return home.InboxFiles("alice").size() == (keep ? 2u : 0u); }, kDeliveryWait));
    }
    EXPECT_EQ(home.SqlNumber("SELECT COUNT(*) FROM Mails"), 0);
    StopServer();
}

}  // namespace
