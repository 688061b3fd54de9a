// ConsolePageList: which pages the property windows hold, and in what order.
#include "console/ConsolePageList.h"

#include "console/CConsolePage.h"

namespace ConsolePageList {

std::vector<ConsolePageEntry> UserPages(ConsoleContext& /*context*/, QWidget* /*parent*/) {
    return {};
}

std::vector<ConsolePageEntry> ServerPages(ConsoleContext& /*context*/, QWidget* /*parent*/) {
    return {};
}

}  // namespace ConsolePageList
