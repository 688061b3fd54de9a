// CPop3Writer: POP3 status and data lines.
#include "CPop3Writer.h"

#include <string>

void CPop3Writer::Ok(std::string_view text) {
    std::string& pending = Pending();
    pending += "+OK";
    if (!text.empty()) (pending += ' ') += text;
    pending += "\r\n";
}

void CPop3Writer::Err(std::string_view text) {
    (Pending() += "-ERR ") += text;
    Pending() += "\r\n";
}

void CPop3Writer::Line(std::string_view text) {
    (Pending() += text) += "\r\n";
}
