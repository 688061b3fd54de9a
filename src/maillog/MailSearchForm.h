// MailSearchForm: the search form of the mail log search, and the query it
// stands for.
//
// Each typed text is quoted and its LIKE wildcards escaped, so a typed "%",
// "_" or "'" finds itself. The date range is written in the month/day/year
// form, which the dialect layer turns into the database's own date form;
// the end day is included by its "+1".
#pragma once

#include <string>

struct MailSearchForm {
    struct Date {
        int day = 1;
        int month = 1;
        int year = 1970;
    };

    std::string from;
    bool fromAnd = false;  // joins the From condition to the next by AND, else OR
    std::string to;
    bool toAnd = false;
    std::string subject;
    std::string containing;  // words looked for in the message body
    bool allWords = false;   // the whole text as one string, else any one word
    bool during = false;
    Date start;
    Date end;
    bool in = false;
    bool sentItems = false;  // with in: sent mail, else received mail

    std::string Query() const;
};
