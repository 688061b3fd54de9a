// ConsolePageList: which pages the property windows hold, and in what order.
#include "console/ConsolePageList.h"

#include "console/CAliasMappingPage.h"
#include "console/CAutoResponderPage.h"
#include "console/CConnectionPage.h"
#include "console/CConsolePage.h"
#include "console/CForwardingPage.h"
#include "console/CGatewayPage.h"
#include "console/CMailMonitorPage.h"
#include "console/CMappingsPage.h"
#include "console/CNetwarePage.h"
#include "console/COutboundQueuePage.h"
#include "console/CPortsPage.h"
#include "console/CRelayRangesPage.h"
#include "console/CRemoteAccountsPage.h"
#include "console/CSchedulerPage.h"

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
        {QStringLiteral("Ports"), new CPortsPage(context, parent)},
        {QStringLiteral("IP Firewall Settings"), new CRelayRangesPage(context, parent)},
        {QStringLiteral("Scheduler"), new CSchedulerPage(context, parent)},
        {QStringLiteral("Connection"), new CConnectionPage(context, parent)},
        {QStringLiteral("Remote Server Accounts"), new CRemoteAccountsPage(context, parent)},
        {QStringLiteral("Gateway"), new CGatewayPage(context, parent)},
        {QStringLiteral("Outbound Queue"), new COutboundQueuePage(context, parent)},
    };
}

}  // namespace ConsolePageList
