// CMailMonitor: the send and receive look-ups over mailmonitor and the
// statements of the console's watch administration.
#include "store/CMailMonitor.h"

#include <algorithm>
#include <cstdlib>

#include "foundation/CAccountRows.h"
#include "foundation/OdbcConnectionInfo.h"
#include "foundation/OdbcPrepared.h"
#include "foundation/OdbcStatement.h"
#include "foundation/OdbcTransaction.h"
#include "foundation/RecordVersion.h"
#include "foundation/SqlFormat.h"
#include "foundation/VersionedCache.h"
#include "foundation/StringFormat.h"
#include "platform/Text.h"

void CMailMonitor::Find(SQLHDBC connection, const char* type, const std::vector<std::string>& addresses,
                        std::vector<std::string>& into) {
    if (addresses.empty()) return;
    // Asked for every message routed: the answer is kept per type and
    // address list while the record version stays, read before the rows so a
    // change meanwhile is not missed.
    static VersionedCache<std::string, std::vector<std::string>> kept(1024);
    std::string key = type;
    for (const std::string& address : addresses) key += '\n' + address;
    const std::optional<std::int64_t> version = RecordVersion::ReadForDeliverySettings(connection);
    std::optional<std::vector<std::string>> names;
    if (version) names = kept.Find(*version, key);
    if (!names) {
        // Each address is quoted on its own: an apostrophe in one must not end
        // the list early or run SQL of its own.
        OdbcPrepared s(connection);
        if (!s.Run("select distinct aUserName from mailmonitor,accounts where Type = '%s' and "
                   "Emailadd in( '%s' ) and accounts.aAccountid=mailmonitor.nAccountid",
                   SqlText::Quote(type), SqlText::QuoteEach(addresses)))
            return;
        names.emplace();
        while (s.Fetch()) {
            std::string name;
            if (!s.GetText(1, name)) continue;
            if (name.size() > kMaxUserNameChars) name.resize(kMaxUserNameChars);
            names->push_back(std::move(name));
        }
        if (version && !OdbcConnectionInfo::IsLost(connection)) kept.Store(*version, key, *names);
    }
    for (std::string& name : *names) {
        // One watcher gets one copy, however many of the addresses it
        // watches; user names compare without regard to case.
        auto same = [&](const std::string& held) { return EqualsNoCase(held, name); };
        if (std::none_of(into.begin(), into.end(), same)) into.push_back(std::move(name));
    }
}

const std::vector<std::string>& CMailMonitor::FindSendMonitors(SQLHDBC connection,
                                                               const std::vector<std::string>& addresses) {
    Find(connection, "S", addresses, sendList);
    return sendList;
}

const std::vector<std::string>& CMailMonitor::FindReceiveMonitors(SQLHDBC connection,
                                                                  const std::vector<std::string>& addresses) {
    Find(connection, "R", addresses, receiveList);
    return receiveList;
}

bool CMailMonitor::ListMonitors(SQLHDBC connection, std::vector<MailMonitorEntry>& entries) {
    entries.clear();
    {
        OdbcStatement s(connection);
        if (!s.ExecDirect("SELECT * from mailmonitor")) return false;
        while (s.Fetch()) {
            MailMonitorEntry entry;
            std::string id;
            s.GetText(1, id);
            s.GetText(2, entry.type);
            s.GetText(3, entry.address);
            if (entry.type.size() > kMaxTypeChars) entry.type.resize(kMaxTypeChars);
            if (entry.address.size() > kMaxAddressChars) entry.address.resize(kMaxAddressChars);
            entry.accountId = std::strtol(id.c_str(), nullptr, 10);
            entry.typeText = entry.type == "S" ? "Send" : entry.type == "R" ? "Receive" : entry.type;
            entries.push_back(std::move(entry));
        }
    }
    // Names are looked up after the listing statement is done with.
    for (MailMonitorEntry& entry : entries)
        entry.userName = CAccountRows::UserNameOf(connection, entry.accountId).value_or("");
    return true;
}

bool CMailMonitor::ListWatchableAddresses(SQLHDBC connection, std::vector<std::string>& addresses) {
    return CAccountRows::AllEmailIds(connection, addresses);
}

CMailMonitor::AddResult CMailMonitor::AddMonitor(SQLHDBC connection, long accountId, const std::string& type,
                                                 const std::string& address) {
    // A watch on a cut address would watch some other address.
    if (address.empty() || address.size() > kMaxAddressChars || type.empty() || type.size() > kMaxTypeChars)
        return AddResult::Failed;
    {
        OdbcStatement s(connection);
        std::string count;
        if (!s.ExecDirect(FormatSql(
                "SELECT count(*)  FROM mailmonitor where nAccountId = %ld AND Type = '%s' AND EmailAdd = '%s'",
                accountId, SqlText::Quote(type), SqlText::Quote(address))) ||
            !s.Fetch() || !s.GetText(1, count))
            return AddResult::Failed;
        if (count != "0") return AddResult::AlreadyPresent;
    }
    OdbcStatement s(connection);
    if (!s.ExecDirect(FormatSql("INSERT into mailmonitor values('%ld','%s','%s')", accountId, SqlText::Quote(type),
                                SqlText::Quote(address))))
        return AddResult::Failed;
    return AddResult::Added;
}

std::string CMailMonitor::AddMonitors(SQLHDBC connection, std::optional<long> accountId, bool watchSend,
                                      bool watchReceive, const std::vector<std::string>& addresses,
                                      std::vector<MailMonitorEntry>& added) {
    if (!accountId) return "Please Select UserName";
    if (!watchSend && !watchReceive) return "Please Select Type";
    if (addresses.empty()) return "Please Select Email Address";
    // Refused before anything is written: a cut address would watch another one.
    for (const std::string& address : addresses)
        if (address.size() > kMaxAddressChars)
            return "The Email Address " + address + " is longer than " + std::to_string(kMaxAddressChars) +
                   " characters and cannot be watched";
    const std::string userName = CAccountRows::UserNameOf(connection, *accountId).value_or("");
    // All the watches of one Add, or none of them where the connection allows.
    OdbcTransaction transaction(connection);
    std::vector<MailMonitorEntry> made;
    for (const std::string& address : addresses) {
        for (int pass = 0; pass < 2; ++pass) {
            if ((pass == 0 && !watchSend) || (pass == 1 && !watchReceive)) continue;
            const char* type = pass == 0 ? "S" : "R";
            const AddResult result = AddMonitor(connection, *accountId, type, address);
            if (result == AddResult::Failed) return "The MailMonitor entry could not be added";
            if (result != AddResult::Added) continue;
            made.push_back({*accountId, userName, type, pass == 0 ? "Send" : "Receive", address});
        }
    }
    if (!transaction.Commit()) return "The MailMonitor entry could not be added";
    added.insert(added.end(), made.begin(), made.end());
    return "";
}

bool CMailMonitor::DeleteMonitor(SQLHDBC connection, long accountId, const std::string& type,
                                 const std::string& address) {
    std::string letter = type;
    if (type == "Send")
        letter = "S";
    else if (type == "Receive")
        letter = "R";
    // The statement compares with the upper-cased column.
    for (char& c : letter)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    OdbcStatement s(connection);
    return s.ExecDirect(
        FormatSql("DELETE from mailmonitor WHERE nAccountId = %ld AND ucase(Type) = '%s' AND EmailAdd = '%s'",
                  accountId, SqlText::Quote(letter), SqlText::Quote(address)));
}
