// MailInfo: out-of-line so that the recipients' and content's destructors
// are compiled once, here.
#include "spool/MailInfo.h"

MailInfo::MailInfo() = default;

MailInfo::~MailInfo() = default;
