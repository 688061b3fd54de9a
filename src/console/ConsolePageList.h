// ConsolePageList: the pages of the console's two property windows, in the
// order their tabs appear. The windows take the pages from here, so a page
// is added in one place.
#pragma once

#include <QString>
#include <vector>

#include "console/ConsoleContext.h"

class CConsolePage;
class QWidget;

struct ConsolePageEntry {
    QString title;       // the tab's caption
    CConsolePage* page;  // owned by the window it is put in
};

namespace ConsolePageList {
// The pages of the user editor, which follow the selected account.
std::vector<ConsolePageEntry> UserPages(ConsoleContext& context, QWidget* parent);
// The pages of the server properties sheet.
std::vector<ConsolePageEntry> ServerPages(ConsoleContext& context, QWidget* parent);
}  // namespace ConsolePageList
