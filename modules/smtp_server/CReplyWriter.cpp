// CReplyWriter: SMTP reply lines.
#include "CReplyWriter.h"

#include <string>

void CReplyWriter::Reply(int code, std::string_view text, bool more) {
    std::string& pending = Pending();
    pending += std::to_string(code);
    pending += more ? '-' : ' ';
    pending += text;
    pending += "\r\n";
    Flush(false);
}
