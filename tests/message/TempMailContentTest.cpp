// Temporary message files: unique exclusive names, the stream operations,
// SetLength, the failure texts, and deletion with the object.
#include "foundation/CTempMailContent.h"
#include "CapturingInterface.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// Points TMPDIR at a fresh directory for one test and restores it after.
class TempDirTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* old = std::getenv("TMPDIR");
        hadOld = old != nullptr;
        if (hadOld) oldValue = old;
        char pattern[] = "/tmp/velmora-tmc-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        directory = pattern;
        ::setenv("TMPDIR", directory.c_str(), 1);
    }
    void TearDown() override {
        if (hadOld)
            ::setenv("TMPDIR", oldValue.c_str(), 1);
        else
            ::unsetenv("TMPDIR");
        ::rmdir(directory.c_str());  // fails (and shows a leak) if a file was left
        EXPECT_FALSE(std::filesystem::exists(directory)) << "temporary files left behind";
    }
    CapturingInterface ui;
    std::string directory;
    bool hadOld = false;
    std::string oldValue;
};

TEST_F(TempDirTest, UniqueNamesDeletedWithTheObjectWriteReadRewindAndSetLength) {
    std::set<std::string> names;
    {
        std::vector<std::unique_ptr<CMailContent>> files;
        for (int i = 0; i < 50; ++i) {
            auto file = std::make_unique<CTempMailContent>();
            const std::string name = file->GetFileName();
            EXPECT_TRUE(std::regex_match(name, std::regex(directory + "/Tes[0-9A-F]+\\.tmp"))) << name;
            EXPECT_TRUE(std::filesystem::exists(name));
            names.insert(name);
            if (i % 2 == 0) {
                EXPECT_TRUE(file->Open());  // opened or not, the file goes with the object
            }
            files.push_back(std::move(file));
        }
    }
    EXPECT_EQ(names.size(), 50u);
    for (const auto& name : names) EXPECT_FALSE(std::filesystem::exists(name)) << name;

    // Write, read, rewind and SetLength.
    CTempMailContent file;
    ASSERT_TRUE(file.Open());
    EXPECT_EQ(file.GetLength(), 0u);
    const std::string text = "Subject: x\r\n\r\nbody\r\n";
    ASSERT_TRUE(file.Write(text.data(), static_cast<std::uint32_t>(text.size())));
    EXPECT_EQ(file.GetLength(), text.size());

    char buffer[64];
    EXPECT_EQ(file.Read(buffer, sizeof buffer), 0);  // at the end after writing
    file.Rewind();
    ASSERT_EQ(file.Read(buffer, 5), 5);
    EXPECT_EQ(std::string(buffer, 5), "Subje");
    ASSERT_EQ(file.Read(buffer, sizeof buffer), static_cast<int>(text.size() - 5));
    EXPECT_EQ(file.Read(buffer, sizeof buffer), 0);

    // Writing after a rewind overwrites in place.
    file.Rewind();
    ASSERT_TRUE(file.Write("X", 1));
    file.Rewind();
    ASSERT_EQ(file.Read(buffer, 1), 1);
    EXPECT_EQ(buffer[0], 'X');
    EXPECT_TRUE(ui.shown.empty());

    // SetLength cuts and extends.
    ASSERT_TRUE(file.SetLength(static_cast<std::uint32_t>(text.size() - 8)));
    EXPECT_EQ(file.GetLength(), text.size() - 8);
    file.Rewind();
    ASSERT_EQ(file.Read(buffer, sizeof buffer), static_cast<int>(text.size() - 8));
    EXPECT_EQ(std::string(buffer, text.size() - 8), "Xubject: x\r\n");

    ASSERT_TRUE(file.SetLength(20));
    EXPECT_EQ(file.GetLength(), 20u);
    file.Rewind();
    ASSERT_EQ(file.Read(buffer, sizeof buffer), 20);
    EXPECT_EQ(buffer[19], '\0');  // extended with zero bytes
}

TEST_F(TempDirTest, FailuresAreReportedByResultAndMessageBox) {
    CTempMailContent file;
    char buffer[8];
    EXPECT_EQ(file.Read(buffer, sizeof buffer), -1);  // not open
    EXPECT_EQ(ui.shown, std::vector<std::string>{"Marlowin: Error"});
    EXPECT_FALSE(file.Write("x", 1));
    EXPECT_FALSE(file.SetLength(0));

    // The file must be the one created: a vanished file is not re-created.
    ASSERT_EQ(::unlink(file.GetFileName().c_str()), 0);
    EXPECT_FALSE(file.Open());
    EXPECT_EQ(ui.shown, (std::vector<std::string>{"Marlowin: Error", "Marlowin: Error Creating Temporary File"}));
    EXPECT_FALSE(std::filesystem::exists(file.GetFileName()));

    // An unusable temporary directory falls back to the system one.
    ::setenv("TMPDIR", (directory + "/missing").c_str(), 1);
    CTempMailContent missing;
    EXPECT_EQ(missing.GetFileName().rfind("/tmp/Tes", 0), 0u) << missing.GetFileName();

    ::setenv("TMPDIR", (directory + "/" + std::string(300, 'd')).c_str(), 1);
    CTempMailContent tooLong;
    EXPECT_EQ(tooLong.GetFileName().rfind("/tmp/Tes", 0), 0u) << tooLong.GetFileName();
    EXPECT_TRUE(tooLong.Open());
}

}  // namespace
