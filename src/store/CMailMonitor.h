// CMailMonitor: which accounts watch the mail of an address, and the
// administration of those watches (the mailmonitor table).
//
// A monitor object is made per spooled message: the send look-up names the
// accounts watching mail sent by its sender, the receive look-up those
// watching mail received by its recipients; routing then delivers a copy to
// each. The administration functions list, add and delete watches as the
// console's dialog does.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "foundation/OdbcEnvironment.h"

// One watch as the console lists it.
struct MailMonitorEntry {
    long accountId = 0;
    std::string userName;  // the watching account
    std::string type;      // "S" or "R"
    std::string typeText;  // "Send" or "Receive"
    std::string address;   // the watched address
};

class CMailMonitor {
public:
    // Width of the mailmonitor columns.
    static constexpr std::size_t kMaxTypeChars = 9;
    static constexpr std::size_t kMaxAddressChars = 254;
    static constexpr std::size_t kMaxUserNameChars = 499;

    // Appends the distinct user names of accounts watching mail sent by (or
    // received by) any of the addresses; returns the list as it stands.
    // A failed statement leaves what was fetched.
    const std::vector<std::string>& FindSendMonitors(SQLHDBC connection, const std::vector<std::string>& addresses);
    const std::vector<std::string>& FindReceiveMonitors(SQLHDBC connection, const std::vector<std::string>& addresses);
    const std::vector<std::string>& SendList() const { return sendList; }
    const std::vector<std::string>& ReceiveList() const { return receiveList; }

    // Every watch, with the watcher's user name.
    static bool ListMonitors(SQLHDBC connection, std::vector<MailMonitorEntry>& entries);
    // The addresses the dialog offers: every account's EmailId.
    static bool ListWatchableAddresses(SQLHDBC connection, std::vector<std::string>& addresses);

    enum class AddResult { Added, AlreadyPresent, Failed };
    // One watch ("S" or "R"); inserted only when not already there.
    static AddResult AddMonitor(SQLHDBC connection, long accountId, const std::string& type,
                                const std::string& address);
    // The dialog's "Add": every ticked type for every address. Returns "" on
    // success, else the text the dialog shows ("Please Select UserName",
    // "Please Select Type", "Please Select Email Address", an address too
    // long for its column, or a failed statement, after which none of the
    // pass is kept where the connection allows).
    // Rows inserted are appended to added.
    static std::string AddMonitors(SQLHDBC connection, std::optional<long> accountId, bool watchSend, bool watchReceive,
                                   const std::vector<std::string>& addresses, std::vector<MailMonitorEntry>& added);
    // type is "S"/"R" or the shown "Send"/"Receive". True when the statement ran.
    static bool DeleteMonitor(SQLHDBC connection, long accountId, const std::string& type, const std::string& address);

private:
    static void Find(SQLHDBC connection, const char* type, const std::vector<std::string>& addresses,
                     std::vector<std::string>& into);

    std::vector<std::string> sendList;
    std::vector<std::string> receiveList;
};
