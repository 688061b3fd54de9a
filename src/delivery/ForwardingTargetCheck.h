// ForwardingTargetCheck: a forwarding address (user and server) as the
// forward command and the forwarding page both accept it; each words a
// refusal in its own way.
#pragma once

#include <string>

class ForwardingTargetCheck {
public:
    enum class Outcome { Ok, NoUser, NoServer, UserTooLong, ServerTooLong, NotPlain };

    // The page's order: a missing part, a part too long, then what cannot
    // stand in an SMTP path and a To field (CForwarding::IsPlainTarget).
    static Outcome Check(const std::string& user, const std::string& server);
};
