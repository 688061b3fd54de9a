// Every page of both property windows can be made, shown and given an account.
#include <gtest/gtest.h>

#include <memory>

#include "ConsoleTest.h"
#include "console/CConsolePage.h"
#include "console/ConsolePageList.h"

using ConsolePageListTest = ConsoleTest;

TEST_F(ConsolePageListTest, EveryPageIsMadeAndFollowsTheAccount) {
    QWidget host;
    std::vector<ConsolePageEntry> pages = ConsolePageList::UserPages(context, &host);
    for (const ConsolePageEntry& entry : ConsolePageList::ServerPages(context, &host)) pages.push_back(entry);
    for (const ConsolePageEntry& entry : pages) {
        ASSERT_NE(entry.page, nullptr);
        EXPECT_FALSE(entry.title.isEmpty());
        entry.page->SetUser("postmaster");
        entry.page->show();
    }
    Settle();
}
