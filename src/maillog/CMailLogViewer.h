// CMailLogViewer: the text the search shows for a chosen message, and the
// whole message for the shell.
//
// The viewer shows at most the first 3000 bytes of a message; a longer one
// is followed by an empty line and "Mail is too big to be shown here !!!".
// Each failure is answered with the message box text the console shows.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

struct MailSearchRecord;

struct MailLogView {
    bool shown = false;  // text is the viewer's text; otherwise the message box text
    std::string text;
};

class CMailLogViewer {
public:
    static constexpr std::size_t kShownBytes = 3000;
    static constexpr const char* kNoRecord = "Error in Reading File.";
    static constexpr const char* kCannotOpen = "Sorry, could not display this data";
    static constexpr const char* kNothingRead = "Error in Accessing that mail.";
    static constexpr const char* kTooBig = "Mail is too big to be shown here !!!";

    // The viewer's text of a record's message in its log file below logRoot.
    static MailLogView View(const std::string& logRoot, const MailSearchRecord* record);

    // Hands the whole message to sink in blocks (false from sink stops).
    // False when the file cannot be opened or ends before the message does.
    static bool Copy(const std::string& logRoot, const MailSearchRecord& record,
                     const std::function<bool(const char* data, std::size_t size)>& sink);
};
