// CImapMessage: what IMAP needs to know of one stored message, read once by
// a bounded streaming pass over its file: the MIME part tree with the byte
// offsets of every part's header and body, the top header's fields, and the
// texts of ENVELOPE and BODYSTRUCTURE (RFC 3501 7.4.2). A message is never
// held whole: parts are served as byte ranges of the file.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "CFetchSection.h"
#include "ModuleVisibility.h"

class MODULE_LOCAL CImapMessage {
public:
    // Limits against hostile messages: deeper or wider structures are served
    // as one opaque part below the limit.
    static constexpr unsigned kMaxDepth = 32;
    static constexpr unsigned kMaxParts = 2048;
    static constexpr std::size_t kMaxHeaderBytes = 256 * 1024;

    // Reads the file through fd (by pread; the offset is not moved). Nullopt
    // only when the file cannot be read.
    static std::optional<CImapMessage> Analyse(int fd, std::uint32_t size);
    // Reads only up to the end of the top header (as bounded as Analyse):
    // enough for ENVELOPE, the header fields and the sections of the whole
    // message (BODY[], HEADER, HEADER.FIELDS, TEXT), not for BodyStructure
    // or numbered parts.
    static std::optional<CImapMessage> AnalyseHeader(int fd, std::uint32_t size);

    // "(date subject from sender reply-to to cc bcc in-reply-to message-id)"
    std::string Envelope() const;
    // The BODY (extended false) or BODYSTRUCTURE (true) parenthesised list.
    std::string BodyStructure(bool extended) const;

    // What a section consists of: pieces of the file or generated text (a
    // header field subset), in order, the partial range already applied.
    // Nullopt when the part does not exist (the session sends "").
    struct Piece {
        bool generated = false;
        std::string text;          // when generated
        std::uint64_t offset = 0;  // else a range of the file
        std::uint64_t length = 0;
    };
    std::optional<std::vector<Piece>> Section(const CFetchSection& section) const;

    // The unfolded raw value of the top header's first field of that name
    // (case aside), or nullopt; for SEARCH HEADER / FROM / TO / SUBJECT ...
    std::optional<std::string> HeaderField(std::string_view name) const;
    // All values of a field (To, Cc, Received ...).
    std::vector<std::string> HeaderFields(std::string_view name) const;
    // The Date: field's time, or 0 when absent or unreadable (SENTBEFORE ...).
    std::time_t SentDate() const;
    // Bytes of the top header, the blank line included (RFC822.HEADER).
    std::uint64_t HeaderSize() const;

    // Streams the file once: true when needle occurs (ASCII case aside) in
    // the message (bodyOnly false: header and body, SEARCH TEXT) or only in
    // its body (SEARCH BODY). Quoted-printable and base64 text parts are
    // matched decoded as well. Bounded memory whatever the size.
    static bool Contains(int fd, std::uint32_t size, std::string_view needle, bool bodyOnly);

    CImapMessage(CImapMessage&&) noexcept;
    CImapMessage& operator=(CImapMessage&&) noexcept;
    ~CImapMessage();

private:
    CImapMessage();
    struct Part;
    class Analyser;  // the streaming pass that builds the part tree
    static std::optional<CImapMessage> Read(int fd, std::uint32_t size, bool headerOnly);
    std::unique_ptr<Part> root;
    std::vector<std::pair<std::string, std::string>> topFields;
    std::uint64_t headerSize = 0;
    std::uint32_t fileSize = 0;
};
