// The POP3 client against a real Dovecot: listings, headers, and messages
// whose lines start with dots arrive exactly as they were put in.
#include <gtest/gtest.h>

#include "DovecotPeer.h"
#include "foundation/CTempMailContent.h"
#include "retrieval/CPop3Connection.h"

namespace {

std::string ContentText(CTempMailContent& content) {
    content.Rewind();
    std::string text;
    char block[1024];
    for (int n; (n = content.Read(block, sizeof block)) > 0;) text.append(block, static_cast<std::size_t>(n));
    return text;
}

}  // namespace

TEST(Pop3DovecotTest, MessagesArriveByteForByteAndDeletionsTakeEffectAtQuit) {
    DovecotPeer dovecot;
    dovecot.AddUser("ann", "secret");
    ASSERT_TRUE(dovecot.Start()) << dovecot.Why();
    const std::vector<std::string> texts = {
        "Subject: one\r\nFrom: <a@example.org>\r\n\r\nplain\r\n",
        "Subject: dots\r\n\r\n.\r\n..\r\n.leading\r\n. \r\nend.\r\n",
        "Subject: big\r\n\r\n" + std::string(30000, 'z') + "\r\n",
    };
    for (std::size_t i = 0; i < texts.size(); ++i)
        ASSERT_TRUE(dovecot.AddMessage("ann", "m" + std::to_string(i + 1), texts[i]));

    CPop3Connection pop;
    ASSERT_TRUE(pop.Connect("127.0.0.1", static_cast<std::uint16_t>(dovecot.Port()))) << dovecot.Why();
    ASSERT_TRUE(pop.Login("ann", "secret")) << dovecot.Why();
    ASSERT_EQ(pop.GetMessageCount(), 3);
    ASSERT_TRUE(pop.LoadUidlList(3));
    EXPECT_EQ(pop.UidlList(), (std::vector<std::string>{"m1", "m2", "m3"}));
    EXPECT_EQ(pop.GetUidl(2), "m2");
    EXPECT_EQ(pop.GetMessageSize(3), static_cast<long>(texts[2].size()));
    std::string header;
    ASSERT_TRUE(pop.RetrieveHeader(1, header, 4096));
    EXPECT_EQ(header, "Subject: one\r\nFrom: <a@example.org>\r\n\r\n");
    for (int i = 1; i <= 3; ++i) {
        auto message = pop.RetrieveMessage(i);
        ASSERT_TRUE(message) << i;
        EXPECT_EQ(ContentText(*message), texts[static_cast<std::size_t>(i - 1)]) << i;
        EXPECT_TRUE(pop.DeleteMessage(i));
    }
    EXPECT_EQ(dovecot.MessageCount("ann"), 3) << "deleted before the session ended";
    pop.Quit();
    pop.Close();
    EXPECT_EQ(dovecot.MessageCount("ann"), 0);
}
