// CMailDatabase and the statement layer through the real SQLite ODBC driver.
#include <algorithm>

#include "DatabaseTest.h"
#include "foundation/CRelayRanges.h"
#include "foundation/PasswordScrambler.h"
#include "foundation/SqlFormat.h"
#include "foundation/SqlText.h"
#include "foundation/StringFormat.h"

namespace {

class MailDatabaseTest : public DatabaseTest {
protected:
    void AddAccount(long id, const std::string& name, bool logged = false) {
        ASSERT_TRUE(Exec(StringPrintf("INSERT INTO Accounts VALUES (%ld, '%s', '%s', 'QIRN%ld', 0, 1, %d, 0,'%s',0)",
                                      id, SqlEscape(name).c_str(),
                                      SqlEscape(PasswordScrambler::ScrambleForColumn(name, "pw")).c_str(), id,
                                      logged ? 1 : 0, SqlEscape(name + "@example.org").c_str())));
    }
};

}  // namespace

TEST_F(MailDatabaseTest, NextIdFollowsTheLargestAndOpenClearsEveryLoggedInFlag) {
    EXPECT_EQ(db.NextId("Accounts", "aAccountId"), 1);  // empty table
    AddAccount(41, "a", true);
    AddAccount(7, "b", true);
    EXPECT_EQ(db.NextId("Accounts", "aAccountId"), 42);
    EXPECT_EQ(db.NextId("NoSuchTable", "aAccountId"), 1);
    CMailDatabase second;
    ASSERT_TRUE(second.Open());
    EXPECT_EQ(Text("SELECT count(*) FROM Accounts WHERE aLogged = true"), "0");
}

TEST_F(MailDatabaseTest, PasswordsRoundTripThroughTheDatabase) {
    for (const std::string password : {"it's", "''", "", "p\xc3\xa4ssw\xc3\xb6rd", "p@ss w0rd!~",
                                       "a-much-longer-password-than-the-key", "\xff\xfe\x80 not UTF-8", "\\%_\xac"}) {
        const std::string user = "user'" + std::to_string(password.size());
        ASSERT_TRUE(Exec(StringPrintf("INSERT INTO Accounts VALUES (%d, '%s', '%s', 'Q', 0, 1, 0, 0, '', 0)",
                                      static_cast<int>(100 + password.size()), SqlEscape(user).c_str(),
                                      SqlEscape(PasswordScrambler::ScrambleForColumn(user, password)).c_str())));
        const std::string stored = Text("SELECT aPassword FROM Accounts WHERE aUserName = '" + SqlEscape(user) + "'");
        EXPECT_EQ(stored.size() % 2, 0u);
        // Whatever the scrambled bytes, the stored form is plain text every backend keeps.
        EXPECT_TRUE(std::all_of(stored.begin(), stored.end(), [](char c) { return c >= 0x20 && c < 0x7F; }));
        EXPECT_EQ(PasswordScrambler::Unscramble(user, stored), password);
        Exec("DELETE FROM Accounts");
    }
    EXPECT_EQ(PasswordScrambler::Unscramble("bob", PasswordScrambler::Scramble("bob", "")), "");
}

TEST_F(MailDatabaseTest, TextsOfEveryKindStoreAndReadBackIdentically) {
    // Every byte but NUL, in a long value (64 KB).
    std::string everyByte;
    while (everyByte.size() < 65536) everyByte += static_cast<char>(1 + everyByte.size() % 255);
    const std::string texts[] = {"o'neil ''", "back\\slash \\' \\\\ \\x41 \\n", "\x01\x7f\x80\xff\xfe bytes",
                                 "Gr\xc3\xbc\xc3\x9f\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac", "%_[]?$1 :x", everyByte};
    int row = 0;
    for (const std::string& text : texts) {
        const std::string id = "QIRN-text-" + std::to_string(++row);
        ASSERT_TRUE(Exec(FormatSql("INSERT INTO MailInfo VALUES ('%s','%s','%s','2026-12-07 06:00:00',1,1)",
                                   SqlText::Quote(id), SqlText::Quote(text), SqlText::Quote(text))))
            << row;
        EXPECT_EQ(Lines(FormatSql("SELECT Sender, Subject FROM MailInfo WHERE mMailId = '%s'", SqlText::Quote(id))),
                  std::vector<std::string>{text + "|" + text})
            << row;
        // And found by its own value, as look-ups find them.
        EXPECT_EQ(Text(FormatSql("SELECT mMailId FROM MailInfo WHERE Sender = '%s'", SqlText::Quote(text))), id) << row;
    }
}

TEST_F(MailDatabaseTest, RelayRangesHostileValuesAndDomainAndSuffixLookups) {
    EXPECT_EQ(CRelayRanges::AddressToHex(" 192.168.1.10 "), "C0A8010A");
    EXPECT_EQ(CRelayRanges::AddressToHex(""), "");
    EXPECT_FALSE(db.IsRelayAllowed("10.0.0.5"));
    ASSERT_TRUE(Exec("INSERT INTO RelayAllowed VALUES('0A000001','0A0000FF')"));
    EXPECT_TRUE(db.IsRelayAllowed("10.0.0.5"));
    EXPECT_TRUE(db.IsRelayAllowed("10.0.0.255"));
    EXPECT_FALSE(db.IsRelayAllowed("10.0.1.0"));
    EXPECT_FALSE(db.IsRelayAllowed("10.0.0.0"));
    EXPECT_FALSE(db.IsRelayAllowed("' OR '1'='1"));

    // Hostile values are stored and found literally.
    const std::string names[] = {"o'neil", "' OR '1'='1", "x'; DROP TABLE Accounts; --"};
    long id = 1;
    for (const std::string& name : names) AddAccount(id++, name);
    EXPECT_EQ(Text("SELECT count(*) FROM Accounts"), "3");
    for (const std::string& name : names) {
        std::unique_ptr<CLocalAccount> account(db.LookupLocalAccount(name));
        ASSERT_TRUE(account) << name;
        EXPECT_EQ(account->GetUserName(), name);
    }
    EXPECT_EQ(std::unique_ptr<CLocalAccount>(db.LookupLocalAccount("' OR ''='")), nullptr);
    // Look-ups ignore case, as the mail system expects of user names.
    EXPECT_NE(std::unique_ptr<CLocalAccount>(db.LookupLocalAccount("O'NEIL")), nullptr);

    ASSERT_TRUE(Exec("INSERT INTO DomainAliasUsers VALUES('sales''; --', 'o''neil@example.org')"));
    EXPECT_EQ(db.GetDomainAliasForward("sales'; --"), "o'neil@example.org");
    EXPECT_EQ(db.GetDomainAliasForward("sales"), "");

    // Domain and suffix look-ups.
    AddAccount(4, "alice");
    AddAccount(5, "catchall");
    AddAccount(6, "smith");
    ASSERT_TRUE(Exec("INSERT INTO Domains VALUES('example.org', 'catchall', true)"));
    ASSERT_TRUE(Exec("INSERT INTO Domains VALUES('nofwd.org', 'catchall', false)"));
    auto found = [](CLocalAccount* a) {
        std::unique_ptr<CLocalAccount> owned(a);
        return owned ? owned->GetAccountId() : 0L;
    };
    EXPECT_EQ(found(db.FindAccountForDomain("alice", "example.org")), 4);
    EXPECT_EQ(found(db.FindAccountForDomain("nobody", "example.org")), 5);
    EXPECT_EQ(found(db.FindAccountForDomain("nobody", "nofwd.org")), 0);
    EXPECT_EQ(found(db.FindAccountForDomain("alice", "unserved.org")), 0);
    EXPECT_EQ(found(db.FindAccountBySuffix("john.smith")), 6);
    EXPECT_EQ(found(db.FindAccountBySuffix("a.b.smith")), 6);
    EXPECT_EQ(found(db.FindAccountBySuffix("smith")), 0);
    EXPECT_EQ(found(db.GetAccountById(5)), 5);
    EXPECT_EQ(found(db.GetAccountById(99)), 0);
}

TEST_F(MailDatabaseTest, AccessDialectRunsOnTheRealDriver) {
    ASSERT_TRUE(Exec("INSERT INTO MXCache VALUES ('a.org','mx1.a.org','2026-12-01 10:00:00')"));
    ASSERT_TRUE(Exec("INSERT INTO MXCache VALUES ('a.org','mx2.a.org','2026-12-05 10:00:00')"));
    EXPECT_EQ(Text("SELECT count(*) FROM MXCache WHERE Domain = 'A.ORG' and FetchTime > cdate('2026-12-03 00:00:00')"),
              "1");
    EXPECT_EQ(Text("SELECT count(*) FROM MXCache WHERE FetchTime > cdate('2026-11-29 00:00:00')+3"), "1");
    EXPECT_EQ(Text("SELECT ucase(MXServerName) FROM MXCache WHERE FetchTime < cdate('2026-12-02')"), "MX1.A.ORG");
    ASSERT_TRUE(Exec("DELETE * from MXCache where Domain = 'a.org'"));
    EXPECT_EQ(Text("SELECT count(*) FROM MXCache"), "0");

    ASSERT_TRUE(
        Exec("INSERT INTO OUTBOUNDMAILS VALUES ('u','d','Outbox/T1.tmp', false, 0, '2026-12-06 10:00:00','0')"));
    ASSERT_TRUE(
        Exec("UPDATE OutBoundMails SET Sent=true where RcptDate <= cdate('2026-12-06 10:00:00') OR FailureCode = 9"));
    EXPECT_EQ(Text("SELECT count(*) FROM OutBoundMails WHERE Sent = 1"), "1");
    EXPECT_EQ(Text("SELECT RcptDate FROM OutBoundMails"), "2026-12-06 10:00:00");
    // A yes/no column takes both spellings.
    ASSERT_TRUE(Exec("UPDATE OutBoundMails SET Sent = 0"));
    EXPECT_EQ(Text("SELECT count(*) FROM OutBoundMails WHERE Sent = false"), "1");
}
