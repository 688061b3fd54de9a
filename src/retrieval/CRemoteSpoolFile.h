// CRemoteSpoolFile: one message fetched from a remote server account, kept
// in the remote spool directory with the account's routing data until it
// has been distributed to the local users.
//
// Little-endian, in this order: UserId, aUserName, ServerAddr (each a u32
// length and that many bytes, no terminator), a reserved u32 (0), the Alias
// flag (u32, 0 or 1), AliasAddress (u32 length, bytes, no trailing blanks),
// the message length N (u32) and the N bytes of the message as retrieved.
//
// A file is written under a ".part" name, synced and renamed to
// "Tes<hex>.tmp", then its directory is synced: a file with the final name
// is always whole. The reader trusts nothing: a length beyond a field's
// capacity, a flag other than 0 or 1, or a message length that is not
// exactly the rest of the file makes the file corrupt.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "foundation/CMailContent.h"

class CRemoteSpoolFile {
public:
    static constexpr std::size_t kUserCapacity = 64;
    static constexpr std::size_t kServerCapacity = 257;
    static constexpr std::size_t kAliasAddressCapacity = 254;
    static constexpr const char* kDirectory = "MailSpooler";
    static constexpr const char* kPrefix = "Tes";
    static constexpr const char* kExtension = ".tmp";
    static constexpr const char* kPartExtension = ".part";

    enum class ReadResult { Ok, OpenFailed, Corrupt };

    std::string userId;    // the remote user name
    std::string userName;  // the local owner of the account
    std::string serverAddr;
    bool alias = false;
    std::string aliasAddress;
    // After a read: the message where it lies in the file, rewound.
    std::unique_ptr<CMailContent> message;

    // Writes the fields and all of content (read from its start) as a new
    // file in directory; path (when given) receives its name. False, with
    // nothing left behind, when a field is over its capacity or a write,
    // sync or rename fails.
    bool Write(CMailContent& content, const std::string& directory, std::string* path = nullptr) const;
    ReadResult Read(const std::string& path);
};
