// The settings file keeps what it does not own and refuses what it cannot read.
#include <gtest/gtest.h>

#include "platform/SettingsFile.h"

namespace {
const char* kKey = "SOFTWARE\\Fenwarde\\Velmora\\Preferences";

std::uint32_t Dword(const SettingsFile::Value& v) {
    std::uint32_t n = 0;
    for (int i = 0; i < 4; ++i) n |= static_cast<std::uint32_t>(static_cast<unsigned char>(v.data[i])) << (8 * i);
    return n;
}
}  // namespace

TEST(SettingsFile, RewriteKeepsCommentsUnknownKeysAndOrder) {
    const std::string text =
        "REGEDIT4\r\n"
        "; hand-written note\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Fenwarde\\Velmora\\Preferences]\n"
        "\"StoreMailLog\"=dword:00000001\n"
        "# another note\n"
        "\"Mail Dir\"=\"C:\\\\mail \\\"x\\\"\"\n"
        "\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other\\Product]\n"
        "\"Blob\"=hex:01,02,\\\n"
        "  ff\n";
    SettingsFile f;
    ASSERT_TRUE(f.Parse(text)) << f.Error();
    EXPECT_EQ(f.Get(kKey, "mail dir")->data, "C:\\mail \"x\"");
    EXPECT_EQ(f.Get("software\\other\\product", "Blob")->data, std::string("\x01\x02\xff", 3));

    f.Set(kKey, {"StoreMailLog", SettingsFile::kDword, std::string("\0\0\0\0", 4)});
    f.Set(kKey, {"New", SettingsFile::kString, "v"});
    const std::string out = f.Serialize();
    EXPECT_NE(out.find("; hand-written note"), std::string::npos);
    EXPECT_NE(out.find("# another note"), std::string::npos);
    EXPECT_NE(out.find("\"Blob\"=hex:01,02,\\\n  ff"), std::string::npos);
    // The new value joins its own key, before the next key's header.
    EXPECT_LT(out.find("\"New\"=\"v\""), out.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other"));
    EXPECT_NE(out.find("\"StoreMailLog\"=dword:00000000"), std::string::npos);

    SettingsFile again;
    ASSERT_TRUE(again.Parse(out)) << again.Error();
    EXPECT_EQ(Dword(*again.Get(kKey, "STOREMAILLOG")), 0u);
    EXPECT_EQ(again.Get(kKey, "Mail Dir")->data, "C:\\mail \"x\"");

    // Malformed lines are named and nothing is kept.
    struct Case {
        const char* text;
        int line;
    } cases[] = {
        {"REGEDIT4\n\"Orphan\"=dword:1\n", 2},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=dword:123456789\n", 3},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=\"unterminated\n", 3},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\n", 2},
        {"REGEDIT4\n[HKEY_CURRENT_USER\\A]\n", 2},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=hex:zz\n", 3},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\nStoreMailLog=1\n", 3},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=hex:01,\\\n", 3},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=\"bad \\q escape\"\n", 3},
    };
    for (const Case& c : cases) {
        SettingsFile f;
        ASSERT_TRUE(f.Parse("REGEDIT4\n[HKEY_LOCAL_MACHINE\\Keep]\n\"k\"=\"1\"\n"));
        EXPECT_FALSE(f.Parse(c.text)) << c.text;
        EXPECT_EQ(f.ErrorLine(), c.line) << c.text << " -> " << f.Error();
        EXPECT_TRUE(f.Get("Keep", "k").has_value()) << "a failed parse must not replace good contents";
    }

    // Keys exist through their descendants and list their children once.
    SettingsFile keys;
    ASSERT_TRUE(
        keys.Parse("REGEDIT4\n[HKEY_LOCAL_MACHINE\\S\\Servers\\#1]\n[HKEY_LOCAL_MACHINE\\S\\Servers\\#2\\deep]\n"
                   "[HKEY_LOCAL_MACHINE\\S\\servers\\#2]\n"));
    EXPECT_TRUE(keys.KeyExists("s\\SERVERS"));
    EXPECT_FALSE(keys.KeyExists("S\\Serv"));
    EXPECT_EQ(keys.SubKeys("S\\Servers"), (std::vector<std::string>{"#1", "#2"}));
    EXPECT_FALSE(keys.Delete("S\\Servers\\#1", "missing"));
}
