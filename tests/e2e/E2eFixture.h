// The end-to-end fixture: a freshly provisioned home with the accounts
// alice and bob (addresses user@localhost), the SMTP port on a free
// unprivileged port, and the real `velmora run` started on it with its
// temporary message files kept in the home, so a test can tell that none
// was left behind.
#pragma once

#include <gtest/gtest.h>

#include <signal.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "E2eSupport.h"

class E2eFixture : public ::testing::Test {
protected:
    // Deliveries go through a sanitizer build on a small machine: generous.
    static constexpr std::chrono::seconds kDeliveryWait{60};

    void SetUp() override {
        ASSERT_TRUE(home.Setup());
        port = FreePort();
        ASSERT_NE(port, 0);
        ASSERT_TRUE(home.SetDword("Ports", "SMTP Port", static_cast<std::uint32_t>(port)));
        ASSERT_TRUE(home.AddAccount("alice"));
        ASSERT_TRUE(home.AddAccount("bob"));
        // A requested pass starts on the cycle's next tick: every 20 ms here, not 500.
        ASSERT_TRUE(home.SetDword("Preferences", "SendReceiveTick", 20));
        std::filesystem::create_directory(home.File("tmp"));
    }

    void TearDown() override { server.Kill(); }

    std::vector<std::string> ServerEnvironment() const { return {"TMPDIR=" + home.File("tmp")}; }

    void StartServer() {
        ASSERT_TRUE(server.Start(home.Path(), home.File("server.out"), ServerEnvironment()));
        ASSERT_TRUE(server.WaitServing()) << server.Output();
        ASSERT_TRUE(WaitForPort(port));
    }

    // SIGTERM, then a clean exit within a few seconds.
    void StopServer() {
        ASSERT_TRUE(server.Signal(SIGTERM));
        ASSERT_TRUE(server.WaitExit(std::chrono::seconds(20))) << "no exit after SIGTERM";
        EXPECT_EQ(server.ExitCode(), 0) << server.Output();
    }

    // Temporary message files of the server still on disk.
    std::vector<std::string> TempFiles() const { return home.Files("tmp", "Tes", ".tmp"); }

    std::string Status() { return home.Velmora({"status"}).output; }
    // Starts a send and receive pass once no queued message is still being
    // written (a pass leaves such a file for the next one), and waits until
    // `passes` have completed since the server started and the cycle is idle
    // again (a request while it runs is dropped).
    void Pass(int passes) {
        ASSERT_TRUE(WaitUntil([&] { return !home.OutboxBeingWritten(); }, kDeliveryWait));
        const RunResult started = home.Velmora({"send-receive"});
        ASSERT_EQ(started.status, 0) << started.output;
        const std::string done = "idle; " + std::to_string(passes) + " completed";
        ASSERT_TRUE(WaitUntil([&] { return Status().find(done) != std::string::npos; }, kDeliveryWait)) << Status();
    }

    bool WaitForMail(const std::string& user, std::size_t count) {
        return WaitUntil([&] { return home.InboxFiles(user).size() >= count; }, kDeliveryWait);
    }
    bool WaitForEmptySpool() {
        return WaitUntil([&] { return home.SpoolFiles().empty(); }, kDeliveryWait);
    }
    bool WaitForNoTempFiles() {
        return WaitUntil([&] { return TempFiles().empty(); }, kDeliveryWait);
    }
    // The messages among texts whose subject is subject.
    static std::size_t CountIn(const std::vector<std::string>& texts, const std::string& subject) {
        const std::string line = "Subject: " + subject + "\r\n";
        std::size_t count = 0;
        for (const std::string& text : texts) count += text.find(line) != std::string::npos;
        return count;
    }
    // The spool empty and every subject in alice's Inbox at least once.
    bool WaitForAllInInbox(const std::vector<std::string>& subjects, std::chrono::seconds wait) {
        return WaitUntil(
            [&] {
                if (!home.SpoolFiles().empty()) return false;
                const std::vector<std::string> texts = home.InboxTexts("alice");
                for (const std::string& subject : subjects)
                    if (CountIn(texts, subject) == 0) return false;
                return true;
            },
            wait);
    }

    // EHLO done.
    void Open(SmtpClient& client) {
        ASSERT_TRUE(client.Connect(port));
        ASSERT_EQ(Code(client.Reply()), 220);
        ASSERT_EQ(Code(client.Command("EHLO client.test")), 250);
    }

    // One whole transaction on an open session; the reply to the data, or
    // the first refusal on the way.
    static std::string Transaction(SmtpClient& client, const std::string& from, const std::vector<std::string>& to,
                                   const std::string& text) {
        std::string reply = client.Command("MAIL FROM:<" + from + ">");
        if (Code(reply) != 250) return reply;
        for (const std::string& rcpt : to) {
            reply = client.Command("RCPT TO:<" + rcpt + ">");
            if (Code(reply) != 250) return reply;
        }
        reply = client.Command("DATA");
        if (Code(reply) != 354) return reply;
        return client.Command(text + "\r\n.");
    }

    // A python3 smtplib script run against the server (the port is its first argument).
    RunResult Python(const std::string& script) {
        return RunProgram({"python3", "-c", script, std::to_string(port)}, std::chrono::seconds(60));
    }

    MailHome home;
    ServerProcess server;
    int port = 0;
};
