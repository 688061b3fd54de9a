// The POP3 client against scripted peers, for what a real server will not
// send on demand: pieces split at awkward places, refusals, stalls, over-long
// lines, data without end and a connection dropped inside a message.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "TestPeers.h"
#include "foundation/CTempMailContent.h"
#include "platform/StatusWindow.h"
#include "platform/StopSignal.h"
#include "retrieval/CPop3Connection.h"

using namespace std::chrono_literals;

namespace {

std::string ContentText(CTempMailContent& content) {
    content.Rewind();
    std::string text;
    char block[256];
    for (int n; (n = content.Read(block, sizeof block)) > 0;) text.append(block, static_cast<std::size_t>(n));
    return text;
}

// Greets, then answers each command line with the next reply in turn.
ScriptedPeer::Script Replies(std::vector<std::string> replies, std::string greeting = "+OK ready\r\n") {
    return [=](PeerLink& link) {
        link.Send(greeting);
        std::string line;
        for (const std::string& reply : replies) {
            if (!link.ReadLine(line)) return;
            link.Send(reply);
        }
        link.ReadLine(line);
    };
}

}  // namespace

TEST(Pop3ConnectionTest, MessagesSplitAnywhereArriveWhole) {
    ScriptedPeer peer([](PeerLink& link) {
        std::string line;
        link.Send("+OK ready\r\n");
        link.ReadLine(line);
        // The whole message with the status line in one piece.
        link.Send("+OK 9 octets\r\nA: b\r\n\r\nx\r\n.\r\n");
        link.ReadLine(line);
        // No size; a stuffed dot and the end line split across pieces.
        for (const char* piece : {"+OK\r\nline\r\n.", ".dots\r\n", "end\r\n", ".", "\r", "\n"}) {
            link.Send(piece);
            std::this_thread::sleep_for(20ms);
        }
        link.ReadLine(line);
        link.Send("+OK bye\r\n");
    });
    CPop3Connection pop;
    StatusWindowQueue window;
    pop.SetStatusWindow(&window);
    ASSERT_TRUE(pop.Connect("127.0.0.1", static_cast<std::uint16_t>(peer.Port())));
    auto first = pop.RetrieveMessage(1);
    ASSERT_TRUE(first);
    EXPECT_EQ(ContentText(*first), "A: b\r\n\r\nx\r\n");
    auto second = pop.RetrieveMessage(2);
    ASSERT_TRUE(second);
    EXPECT_EQ(ContentText(*second), "line\r\n.dots\r\nend\r\n");
    StatusMessage m;
    ASSERT_TRUE(window.Get(m));
    EXPECT_EQ(m.text, "14 Bytes Received Out Of 14 Bytes (100%)");  // size raised to what came
    for (StatusMessage next; window.Get(next);) m = next;
    EXPECT_EQ(m.text, "22 Bytes Received");
    pop.Quit();
}

TEST(Pop3ConnectionTest, RepliesAndListingsAreReadAsTheyCome) {
    ScriptedPeer peer(Replies({"-ERR unknown command\r\n", "+OK\r\n", "-ERR no\r\n", "+OK 3 420\r\n", "+OK 2 1234\r\n",
                               "+OK 2\r\n", "+OK\r\n1 aa\r\n2\r\n3 cc extra\r\n.\r\n"}));
    CPop3Connection pop;
    ASSERT_TRUE(pop.Connect("127.0.0.1", static_cast<std::uint16_t>(peer.Port())));
    EXPECT_FALSE(pop.Login("u", "wrong"));
    EXPECT_EQ(pop.GetMessageCount(), 3);
    EXPECT_EQ(pop.GetMessageSize(2), 1234);
    EXPECT_EQ(pop.GetUidl(2), "");  // no id in the reply
    ASSERT_TRUE(pop.LoadUidlList(3));
    EXPECT_EQ(pop.UidlList(), (std::vector<std::string>{"aa", "", "cc"}));
    int number = 0;
    EXPECT_TRUE(pop.FindUidl("cc", number));
    EXPECT_EQ(number, 3);
    EXPECT_FALSE(pop.FindUidl("CC", number));
    EXPECT_FALSE(pop.Login("u\r\nDELE 1", "p")) << "a line break would smuggle in a command";
}

TEST(Pop3ConnectionTest, HostilePeersCostBoundedTimeAndMemory) {
    {  // refused greeting
        ScriptedPeer peer(Replies({}, "-ERR go away\r\n"));
        CPop3Connection pop;
        EXPECT_FALSE(pop.Connect("127.0.0.1", static_cast<std::uint16_t>(peer.Port())));
        EXPECT_FALSE(pop.IsConnected());
    }
    {  // a greeting line longer than a reply line may be
        ScriptedPeer peer(Replies({}, "+OK " + std::string(600, 'x') + "\r\n"));
        CPop3Connection pop;
        EXPECT_FALSE(pop.Connect("127.0.0.1", static_cast<std::uint16_t>(peer.Port())));
    }
    {  // a stalled reply and a stalled message
        ScriptedPeer peer([](PeerLink& link) {
            link.Send("+OK\r\n");
            // Stalled until the client gives up and closes.
            std::string command;
            link.ReadLine(command, 3s);
            link.Readable(3s);
        });
        CPop3Connection pop;
        pop.SetReplyWait(200ms);
        ASSERT_TRUE(pop.Connect("127.0.0.1", static_cast<std::uint16_t>(peer.Port())));
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(pop.GetMessageCount(), -1);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 900ms);
    }
    {  // data without end, then a message cut off by a close
        ScriptedPeer peer(
            [](PeerLink& link) {
                std::string line;
                link.Send("+OK\r\n");
                link.ReadLine(line);
                link.Send("+OK\r\n");
                const std::string block(4000, 'y');
                for (int i = 0; i < 1000 && link.Send(block); ++i) {
                }
            },
            2);
        CPop3Connection pop;
        pop.SetMaxMessageBytes(100000);
        ASSERT_TRUE(pop.Connect("127.0.0.1", static_cast<std::uint16_t>(peer.Port())));
        EXPECT_FALSE(pop.RetrieveMessage(1));
        EXPECT_FALSE(pop.IsConnected()) << "a session with a message in flight cannot go on";
        pop.SetMaxMessageBytes(CPop3Connection::kMaxMessageBytes);
        ASSERT_TRUE(pop.Connect("127.0.0.1", static_cast<std::uint16_t>(peer.Port())));
        EXPECT_FALSE(pop.RetrieveMessage(1));  // the peer closes after 4 MB without an end line
    }
    {  // after a stop nothing more is asked for, and the session stays for its QUIT
        StopSignal stop;
        ScriptedPeer peer(Replies({"+OK bye\r\n"}));
        CPop3Connection pop;
        pop.SetStopSignal(&stop);
        ASSERT_TRUE(pop.Connect("127.0.0.1", static_cast<std::uint16_t>(peer.Port())));
        stop.Raise();
        EXPECT_FALSE(pop.RetrieveMessage(1));
        ASSERT_TRUE(pop.IsConnected());
        pop.Quit();
        EXPECT_EQ(pop.LastReply(), "+OK bye") << "RETR went out after the stop";
    }
}

TEST(Pop3ConnectionTest, AStopLetsTheMessageInHandFinishButNoLongerThanItsGrace) {
    StopSignal stop;
    ScriptedPeer peer([&](PeerLink& link) {
        std::string line;
        link.Send("+OK ready\r\n");
        for (const char* rest : {"two\r\n.\r\n", ""}) {  // the second message stalls
            link.ReadLine(line);
            link.Send("+OK\r\none\r\n");
            stop.Raise();
            link.Send(rest);
        }
        link.Readable(10s);
    });
    CPop3Connection pop;
    pop.SetStopSignal(&stop);
    ASSERT_TRUE(pop.Connect("127.0.0.1", static_cast<std::uint16_t>(peer.Port())));
    auto message = pop.RetrieveMessage(1);
    ASSERT_TRUE(message);
    EXPECT_EQ(ContentText(*message), "one\r\ntwo\r\n");
    stop.Clear();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(pop.RetrieveMessage(2));
    EXPECT_LT(std::chrono::steady_clock::now() - start, StopSignal::kGrace + 2s) << "the reply wait is 90 s";
}
