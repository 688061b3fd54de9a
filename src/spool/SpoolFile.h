// SpoolFile: the on-disk form of a message waiting in the spool directory,
// and its two halves, WriteSpoolFile and ReadSpoolFile.
//
// A spool file "SMF<hex>.tmp" is a little-endian record followed by the raw
// message:
//   sender (string), recipient count N (u32), N x {flag, name, domain}
//   (strings), DotsCount (i32), content length L (u32), L bytes of message.
// Strings and numbers are encoded by RecordWriter (platform). Flag "1" marks a local
// account (name = the account's user name), "0" a remote recipient.
//
// After the L bytes of message an optional trailer of 5 bytes may follow:
// "VLMR" and one byte of flags (bit 0: the client that handed the message
// in may relay; bit 1: the spam filter sent it to the recipients' Junk
// folders; other bits are ignored). Readers that copy exactly L bytes
// never see it; a file without it reads as "may not relay", the safe side.
//
// The writer makes the file under a hidden name and renames it into place
// only once it is complete and on stable storage, so a reader never sees a
// half-written spool file. The reader trusts nothing in the file: every
// length is checked against the file's size and a fixed bound before
// anything is allocated, and the content moves in 64 KB blocks.
#pragma once

#include <cstdint>
#include <memory>
#include <array>
#include <string>
#include <vector>

#include "platform/RecordWriter.h"
#include "platform/UniqueFd.h"
#include "spool/MailInfo.h"
#include "spool/MailRecipient.h"

class CAccountDatabase;

namespace spool {

// The spool directory, relative to the process's working directory (the home).
inline constexpr const char* kSpoolDirectory = "SMTPSpooler";
// Content moves between files in blocks of this size.
inline constexpr std::uint32_t kBlockSize = 65536;
// Longest sender, name or domain either side accepts: far beyond any real
// address, small enough that a hostile length cannot exhaust memory.
inline constexpr std::uint32_t kMaxStringLength = 1u << 20;
// More recipients than this and the message goes to the postmaster alone.
inline constexpr std::uint32_t kMaxRecipients = 256;
// The trailer after the message: its tag, its size and the relay bit.
inline constexpr char kTrailerTag[4] = {'V', 'L', 'M', 'R'};
inline constexpr std::uint32_t kTrailerSize = 5;
inline constexpr std::uint8_t kTrailerMayRelay = 0x01;
inline constexpr std::uint8_t kTrailerJunk = 0x02;
inline std::array<std::uint8_t, kTrailerSize> Trailer(bool mayRelay, bool junk = false) {
    return {static_cast<std::uint8_t>(kTrailerTag[0]), static_cast<std::uint8_t>(kTrailerTag[1]),
            static_cast<std::uint8_t>(kTrailerTag[2]), static_cast<std::uint8_t>(kTrailerTag[3]),
            static_cast<std::uint8_t>((mayRelay ? kTrailerMayRelay : 0) | (junk ? kTrailerJunk : 0))};
}

enum class ReadResult {
    Ok,
    OpenFailed,     // missing or not openable
    Busy,           // another reader holds the file: try again later
    Malformed,      // the record does not fit the file: left for the administrator
    ContentFailed,  // the temporary message file could not be made or written
    NoDatabase,     // a local recipient could not be looked up: try again later
};

const char* ReadResultText(ReadResult result);

// True when name is one the spool scans pick up: "*.tmp", not hidden.
bool IsSpoolFileName(const std::string& name);

// One recipient as its record holds it: "1" and the account's user name for
// a local one, "0" and the address's user part for a remote one.
struct RecipientEntry {
    bool local = false;
    std::string name;
    std::string domain;
    bool operator==(const RecipientEntry&) const = default;
};
// The entries of the recipients (empty slots left out), checked against what
// the reader accepts; false, logged, when they cannot be written.
bool MakeRecipientEntries(const std::string& sender, const std::vector<std::unique_ptr<MailRecipient>>& recipients,
                          std::vector<RecipientEntry>& entries);
// A new hidden file of the directory for a spool file to be written into,
// open for reading and writing; its path, and the number its final name
// takes first. Invalid when no name could be made.
UniqueFd CreatePartFile(const std::string& directory, int flags, std::string& partPath, std::uint32_t& number);
// The record up to the message: sender, count, recipients, dots, length.
bool WriteRecordHead(RecordWriter& writer, const std::string& sender, const std::vector<RecipientEntry>& entries,
                     std::int32_t dots, std::uint32_t length);
// Syncs the complete part file fd, closes it, gives it its final name
// (another number when that one is taken) and syncs the directory. On
// failure nothing stays: the part file, or the final one, is removed.
bool PublishPartFile(UniqueFd file, const std::string& directory, const std::string& partPath, std::uint32_t number,
                     std::string* path);

}  // namespace spool

// Writes info as a new spool file in directory. True only when the whole
// file is on stable storage under its final "SMF<hex>.tmp" name; on failure
// nothing is left behind. info is not freed; its content is read from the
// start. On success and when path is given, it receives the file's path.
bool WriteSpoolFile(MailInfo& info, const std::string& directory = spool::kSpoolDirectory, std::string* path = nullptr);

// Reads the spool file at path into a new MailInfo, resolving flag "1"
// recipients through database->LookupLocalAccount, then by the accounts'
// own addresses (FindAccountByAddress; no look-ups when database is null). None on any failure, with the reason in result; the
// file itself is never changed.
std::unique_ptr<MailInfo> ReadSpoolFile(const std::string& path, CAccountDatabase* database,
                                        spool::ReadResult* result = nullptr);
