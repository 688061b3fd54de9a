// DnsMessage: the MX query the resolver sends and the parser of the reply.
//
// Kept apart from the resolver's sockets and cache so that the parser can be
// fed arbitrary bytes (unit tests, the fuzz target). Everything here works on
// bounded buffers: a reply is at most 65535 bytes (its length prefix), and
// every count, length and compression pointer in it is checked against the
// bytes actually present before it is used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <string_view>
#include <vector>

namespace dns {

constexpr std::uint16_t kTypeMx = 15;
constexpr std::uint16_t kClassIn = 1;
constexpr std::uint16_t kFlagRecursionDesired = 0x0100;
constexpr std::size_t kHeaderLength = 12;
constexpr std::size_t kMaxLabels = 10;       // the question area holds no more
constexpr std::size_t kMaxLabelLength = 63;  // RFC 1035 2.3.4
constexpr std::size_t kMaxNameLength = 255;  // on the wire, length bytes included
// The cache column is read back into 1024 bytes; a joined list never exceeds it.
constexpr std::size_t kMaxJoinedLength = 1023;

struct MxRecord {
    std::uint16_t preference = 0;
    std::string exchange;  // upper case, labels joined with "."
};

// Header and question of an MX query for domain (no length prefix). False,
// with nothing built, for a domain that cannot be asked: empty, an empty
// label, more than kMaxLabels labels, a label over 63 bytes or a name over
// 255 bytes. A trailing "." makes no difference.
bool BuildMxQuery(std::string_view domain, std::uint16_t id, std::vector<unsigned char>& header,
                  std::vector<unsigned char>& question);

enum class ReplyStatus {
    Answered,   // RCODE 0; records holds the MX records (possibly none)
    ErrorCode,  // RCODE not 0: nothing to store
    Malformed,  // truncated, inconsistent or hostile: nothing to store
};

// Parses a reply (without its length prefix). On Answered, records holds the
// MX records of the answer section in preference order (InsertByPreference)
// and id the reply's ID. Any other status leaves records empty.
ReplyStatus ParseMxReply(const unsigned char* data, std::size_t size, std::list<MxRecord>& records, std::uint16_t& id);

// Reads a possibly compressed name at offset pos. Pointers must point
// backwards, before the labels already followed, and past the header, so
// every name ends; labels of 64 bytes or more and names over 255 bytes fail.
// On success next is the offset just after the name where it started.
bool ReadName(const unsigned char* data, std::size_t size, std::size_t pos, std::string& name, std::size_t& next);

// Inserts a record by preference: ahead of a head with a greater preference,
// else after the last of the leading records with a lower preference.
void InsertByPreference(std::list<MxRecord>& records, MxRecord record);

// The exchange names joined with ","; names that would take the text past
// kMaxJoinedLength are left out whole rather than cut.
std::string JoinExchanges(const std::list<MxRecord>& records);

// Splits cached text into host names: items between ","; in each only what
// follows its last '"', without surrounding white space; empty items dropped.
void SplitHostList(std::string_view text, std::vector<std::string>& hosts);

}  // namespace dns
