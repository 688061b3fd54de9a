// Dial-up through the real program: the phone-book entry's up, down and
// status commands are scripts that record their calls. A pass with the
// method "ras" and a remote server account dials, fetches, distributes and
// hangs up; an up command that fails is tried the configured number of
// times and the pass then ends without fetching. The shell writes
// Connect.stg byte for byte as the connection page does.
#include <sys/stat.h>

#include "DovecotPeer.h"
#include "E2eFixture.h"
#include "TestHome.h"

namespace {

class E2eDialUpTest : public E2eFixture {
protected:
    void SetUp() override {
        E2eFixture::SetUp();
        // The port needs no rest after a hang-up here: 3 s each otherwise.
        ASSERT_TRUE(home.SetDword("Preferences", "DialHangUpPause", 10));
    }
    void Admin(const std::vector<std::string>& args) {
        const RunResult result = home.Velmora(args);
        ASSERT_EQ(result.status, 0) << result.output;
    }

    void Script(const std::string& name, const std::string& body) {
        const std::string path = home.File(name);
        TestHome::WriteFile(path, "#!/bin/sh\n" + body);
        ASSERT_EQ(::chmod(path.c_str(), 0700), 0);
    }

    // A phone book whose entry "Office ISP" records its calls in `calls`;
    // upExit is the up command's exit status.
    void PhoneBook(int upExit) {
        const std::string dir = home.Path();
        Script("up.sh", "echo \"up $VELMORA_DIAL_ENTRY $VELMORA_DIAL_USER\" >> '" + dir + "/calls'\n" +
                            (upExit == 0 ? "touch '" + dir + "/link'\n" : "") + "exit " + std::to_string(upExit) +
                            "\n");
        Script("down.sh", "echo down >> '" + dir + "/calls'\nrm -f '" + dir + "/link'\n");
        TestHome::WriteFile(home.File("phonebook.conf"),
                            "# the office's links\n[Office ISP]\nup = " + dir + "/up.sh\ndown = \"" + dir +
                                "/down.sh\"\nstatus = test -e " + dir + "/link\ntimeout = 20\n");
    }

    void RemoteAccount() {
        dovecot.AddUser("shared", "shared-secret");
        ASSERT_TRUE(dovecot.Start()) << dovecot.Why();
        ASSERT_TRUE(dovecot.AddMessage("shared", "s1",
                                       "From: ann@remote.example\r\nTo: bob@example.org\r\nSubject: over the link\r\n"
                                       "\r\nhello\r\n"));
        Admin({"remoteaccount", "add", "shared", "--owner", "alice", "--server", "127.0.0.1", "--user", "shared",
               "--port", std::to_string(dovecot.Port()), "--password", "shared-secret", "--alias", "example.org"});
    }

    std::string Calls() const { return TestHome::ReadFile(home.File("calls")); }

    DovecotPeer dovecot;
};

}  // namespace

TEST_F(E2eDialUpTest, APassDialsFetchesDistributesAndHangsUp) {
    PhoneBook(0);
    RemoteAccount();
    Admin({"connection", "set", "--method", "ras", "--entry", "Office", "--user", "dialer", "--password",
           "dial-Secret-9", "--retries", "2"});
    StartServer();
    Pass(1);
    ASSERT_TRUE(WaitForMail("bob", 1)) << server.Output();
    EXPECT_EQ(Calls(), "up Office ISP dialer\ndown\n");
    EXPECT_EQ(dovecot.MessageCount("shared"), 0);
    // A link that is up is used as it is: the next pass dials nothing.
    TestHome::WriteFile(home.File("link"), "");
    Pass(2);
    EXPECT_EQ(Calls(), "up Office ISP dialer\ndown\n");
    StopServer();
    const std::string logs = server.Output() + home.Velmora({"status"}).output;
    EXPECT_EQ(logs.find("dial-Secret-9"), std::string::npos);
    for (const std::string& log : home.Files("logs"))
        EXPECT_EQ(TestHome::ReadFile(log).find("dial-Secret-9"), std::string::npos) << log;
}

TEST_F(E2eDialUpTest, AFailingLineIsTriedAsOftenAsConfiguredThenThePassEnds) {
    PhoneBook(7);
    RemoteAccount();
    Admin({"connection", "set", "--method", "ras", "--entry", "Office ISP", "--user", "dialer", "--retries", "3"});
    StartServer();
    Pass(1);
    // Each failed dial is hung up, the third one by the cancel.
    EXPECT_EQ(Calls(), "up Office ISP dialer\ndown\nup Office ISP dialer\ndown\nup Office ISP dialer\ndown\n");
    EXPECT_EQ(dovecot.MessageCount("shared"), 1) << "a pass without its link fetched mail";
    EXPECT_NE(Status().find("Send and Receive Completed"), std::string::npos) << Status();
    StopServer();
}

TEST_F(E2eDialUpTest, ConnectStgIsWrittenAsThePageWritesIt) {
    const std::string entry(300, 'E');
    Admin({"connection", "set", "--method", "ras", "--entry", entry, "--user", "joe", "--password", "secret",
           "--retries", "3", "--interval", "5"});
    const std::string scrambled =
        "121$1\x1b"
        "0\xc8"
        "0\xae"
        "0\xbf"
        "0S";
    const std::string expected = std::string("\x03RAS\xff\x2c\x01", 7) + entry + "\x03joe" + "\x0e" + scrambled +
                                 std::string("\x03\0\0\0", 4) +
                                 "\x01"
                                 "5";
    EXPECT_EQ(TestHome::ReadFile(home.File("Connect.stg")), expected);
    // A shown setting never shows the password; a change of method keeps the rest.
    const RunResult shown = home.Velmora({"connection", "show"});
    EXPECT_EQ(shown.output.find("secret"), std::string::npos) << shown.output;
    Admin({"connection", "set", "--method", "lan"});
    EXPECT_EQ(TestHome::ReadFile(home.File("Connect.stg")), "\x03LAN" + expected.substr(4));
    EXPECT_EQ(home.Velmora({"connection", "set", "--retries", "0"}).status, 1);
}
