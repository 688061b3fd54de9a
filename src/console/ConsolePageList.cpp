// ConsolePageList: which pages the property windows hold, and in what order.
#include "console/ConsolePageList.h"

#include "console/CAliasMappingPage.h"
#include "console/CAutoResponderPage.h"
#include "console/CConsolePage.h"
#include "console/CForwardingPage.h"
#include "console/CGatewayPage.h"
#include "console/CMailMonitorPage.h"
#include "console/CMappingsPage.h"
#include "console/CNetwarePage.h"

namespace ConsolePageList {

std::vector<ConsolePageEntry> UserPages(ConsoleContext& context, QWidget* parent) {
    return {
        {"&Mappings", new CMappingsPage(context, parent)},
        {"&AutoResponder", new CAutoResponderPage(context, parent)},
        {"&Forwarding", new CForwardingPage(context, parent)},
        {"&Netware", new CNetwarePage(context, parent)},
        {"A&liases", new CAliasMappingPage(context, parent)},
        {"M&onitor", new CMailMonitorPage(context, parent)},
    };
}

std::vector<ConsolePageEntry> ServerPages(ConsoleContext& context, QWidget* parent) {
    return {
        {"Gateway", new CGatewayPage(context, parent)},
    };
}

}  // namespace ConsolePageList
