// CNetwareImport: sends on one ".cnm" file that a Netware mail client left
// in the gateway's outbox directory.
//
// The file's first line names its sender the client's way ("name/LOGIN");
// it is replaced by the sender's Internet address, taken from the Netware
// row of the login name when there is one. The rewritten message goes to
// the local SMTP server, which routes it like any other, and the file is
// deleted only once the end of data got 250: anything less keeps it for the
// gateway's next scan. A file that can never become a message (empty, cut
// off in its header, larger than the server takes, not a message at all) is
// renamed aside to "NAME.bad" so that it is not offered again; a file still
// being written is left alone until it has settled. Each outcome but a
// delivery leaves one line in the diagnostic log.
#pragma once

#include <sql.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

class CNetwareImport {
public:
    enum class Outcome { Delivered, Kept, SetAside };

    // The header block read from the start of a file.
    static constexpr std::size_t kHeadBytes = 65536;
    // A file changed less than this many seconds ago may still be written.
    static constexpr std::time_t kSettleSeconds = 5;

    // What the start of a file says, before any database look-up.
    struct Head {
        std::string problem;              // not empty: the file is no message
        std::size_t firstLineLength = 0;  // the sender line with its LF
        std::string loginName;            // after the sender's last "/"; empty: unresolved
        std::string senderText;           // before that "/", trimmed
        std::vector<std::string> recipients;
    };
    // head: the file's first bytes (at most kHeadBytes); wholeFile: head is
    // the whole file.
    static Head ReadHead(std::string_view head, bool wholeFile);
    // The sender line of a stored Internet address ("Name <a@b>" or "a@b"):
    // "\"Name\"<a@b>"; empty when it holds no usable address.
    static std::string SenderLine(const std::string& address);
    // The path MAIL FROM takes from a sender line: the text in angle
    // brackets, else the whole, trimmed.
    static std::string SenderPath(const std::string& senderLine);

    // Processes the file on the connection. now: the clock that tells a
    // file still being written.
    static Outcome ImportNetwareFile(SQLHDBC connection, const std::string& path, std::time_t now);
};
