// CImapSearch: the criteria of one SEARCH (RFC 3501 6.4.4) and their test
// against a message.
//
// Parse takes the arguments after the optional CHARSET (UTF-8 and US-ASCII
// only) into a small tree: flags, keywords, sequence and UID sets, dates
// (internal, or the Date: field for SENT*), sizes, header fields, TEXT and
// BODY, NOT, OR and parenthesised groups. Keys that read the message ask the
// caller for its file only when the cheaper keys have not decided; TEXT and
// BODY stream the file, never holding it whole.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "CImapCommandParser.h"
#include "ModuleVisibility.h"
#include "store/MailboxTypes.h"

class MODULE_LOCAL CImapSearch {
public:
    struct Candidate {
        const mailbox::MessageInfo* info = nullptr;
        std::uint32_t sequence = 0;
        std::uint32_t lastSequence = 0;  // what "*" stands for
        std::uint32_t lastUid = 0;
        // The message file (opened on first use); -1 when it cannot be read.
        std::function<int()> file;
    };

    // Nullopt with error set for a malformed search; badCharset for a
    // charset other than UTF-8 and US-ASCII.
    static std::optional<CImapSearch> Parse(const std::vector<CImapValue>& args, std::string& error,
                                            bool& badCharset);
    bool Matches(const Candidate& candidate) const;
    // Whether any key reads the message file.
    bool ReadsMessages() const { return readsMessages; }

private:
    enum class Key {
        All, Flag, NoFlag, Keyword, NoKeyword, Never, Sequence, Uid,
        Before, On, Since, SentBefore, SentOn, SentSince, Larger, Smaller,
        Header, Text, Body, Not, Or, And
    };
    struct Node {
        Key key = Key::All;
        std::uint32_t flag = 0;
        std::uint64_t number = 0;
        std::string text;   // keyword, header field name
        std::string value;  // header search text
        CImapCommandParser::Ranges ranges;
        std::vector<std::size_t> children;
    };

    std::optional<std::size_t> ParseKey(const std::vector<CImapValue>& args, std::size_t& pos, unsigned depth,
                                        std::string& error);
    bool Test(std::size_t node, const Candidate& candidate) const;

    std::vector<Node> nodes;
    std::size_t root = 0;
    bool readsMessages = false;
};
