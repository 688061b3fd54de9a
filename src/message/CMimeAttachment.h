// CMimeAttachment: what the MIME walk records about one attachment of a
// message. Local delivery walks these records and asks for each one's
// content by name in a second, extracting pass.
#pragma once

#include <string>

class CMimeAttachment {
public:
    // The file name the message gives, or "ATTFL" + part number when it gives
    // none (with ".eml" for a forwarded message). Taken from the message as
    // is: a caller that uses it as a file name must make it safe first.
    std::string name;
    // The part's whole Content-Type value (parameters included), trimmed, lower case.
    std::string contentType;
    // The part's Content-Disposition up to its first ';', trimmed, lower case.
    std::string disposition;
    // The part's Content-Id, trimmed, without its angle brackets.
    std::string contentId;
};
