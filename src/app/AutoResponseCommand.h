// AutoResponseCommand: an account's automatic reply from the shell.
//   velmora account autoresponse USER                   shows it
//   velmora account autoresponse USER --text-file FILE  sets the text, turning it on
//   velmora account autoresponse USER --off             turns it off and removes the text
// The text is kept verbatim in the account's ".atr" file beside its mail
// directory; a running server answers with it from the next message on.
#pragma once

#include <ostream>
#include <string>
#include <vector>

class AutoResponseCommand {
public:
    // args after "autoresponse". Returns the exit code: 0 done, 1 refused, 64 bad usage.
    static int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
    static void PrintUsage(std::ostream& out);
};
