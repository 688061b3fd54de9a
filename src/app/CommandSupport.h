// CommandSupport: what the shell commands share: the home check, the
// connection to the mail database and the settings check, each failing with
// one sentence that names the cause and the command that mends it.
#pragma once

#include <istream>
#include <ostream>
#include <string>

class CMailDatabase;

class CommandSupport {
public:
    // The fix for a home that is missing, moved or incomplete.
    static std::string SetupHint(const std::string& home);
    // False, after saying so, when the home is not a directory.
    static bool RequireHome(const std::string& home, std::ostream& err);
    // Connects db, once the data source looks usable, without clearing a
    // running server's session locks; on failure says why
    // ("velmora <command>: ...") and returns false.
    static bool Connect(CMailDatabase& db, const std::string& command, std::ostream& err);
    // Empty when the settings file reads; otherwise "file: line N: why".
    static std::string SettingsProblem();
    // Storage\Mail Directory as set; empty when unset.
    static std::string MailDirectory();

    // One line of input for a password: on a terminal after the prompt and
    // unechoed, elsewhere (a pipe, a script) just the line. A CR before the
    // line end is dropped.
    static std::string ReadSecret(const std::string& prompt, std::istream& in, std::ostream& out, bool interactive);

    // A destructive command's question. Nobody can answer on a pipe or in a
    // script, so there it is NotATerminal and the command wants --yes.
    enum class Answer { Yes, No, NotATerminal };
    static Answer Confirm(const std::string& question, std::istream& in, std::ostream& out, bool interactive);
};
