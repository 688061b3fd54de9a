// CNetwareExport: the Netware exchange of one account on delivery, and the
// account's Netware row.
//
// Some users read mail with a client on a Netware file server that keeps
// each message as a ".cnm" file in the user's directory. For such an account
// a delivered message is written there as well as (LeaveCopy) or instead of
// the mailbox copy. The file appears only whole: it is written under a
// hidden temporary name, synced, and renamed to a name nobody holds, so a
// client never reads half a message and two messages of one second are
// both kept. Anything short of that removes what was written, and delivery
// goes on into the mailbox.
#pragma once

#include <sql.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

#include "store/CNetwareRows.h"

class CMailContent;

class CNetwareExport {
public:
    enum class Result {
        Taken,   // written; the account keeps no mailbox copy
        Copied,  // written; the mailbox copy is kept too (LeaveCopy)
        Failed,  // nothing written: deliver into the mailbox
    };

    // The account's Netware row; none when it has none or it cannot be read.
    static std::optional<NetwareSettings> LoadNetwareSettings(SQLHDBC connection, long accountId);

    // Writes the first length bytes of content as a new ".cnm" file in
    // settings.mailPath, named by the local time of now ("%d%d%d%d" of day,
    // hour, minute and second, "_N" added when taken). writtenPath, when
    // given, receives the file's path; problem the cause of a failure.
    static Result ExportToNetware(const NetwareSettings& settings, CMailContent& content, std::uint32_t length,
                                  std::time_t now, std::string* writtenPath, std::string& problem);

    // The account dialog's statements. Save inserts, updates or deletes the
    // row so that it matches wanted (none: no exchange); nothing runs when
    // it matches already. True when the database took the change.
    static bool SaveNetwareSettings(SQLHDBC connection, long accountId, const std::optional<NetwareSettings>& wanted);

    // The dialog's check of the client user's address: at least two
    // characters and an "@".
    static bool IsUsableAddress(const std::string& address);
    // Puts a plain user@domain into settings' UserName and Domain: the user
    // part is the client's login name, so a display name or blanks have no
    // place in it. False (settings unchanged) when it is not one or a part
    // is longer than its column.
    static bool SplitAddress(const std::string& address, NetwareSettings& settings);
    static constexpr std::size_t kMaxMailPath = 255;
    static constexpr std::size_t kMaxUserName = 64;
    static constexpr std::size_t kMaxDomain = 255;
    static constexpr const char* kInvalidAddress = "Please enter a valid Internet Email Address";
};
