// DateText: the two forms in which this system writes times.
//
// LocalDateTimeText is the form of every time kept in the database
// ("YYYY-MM-DD HH:MM:SS", local time): text order is time order, which the
// date comparisons rely on. MailDateText is the form of generated "Date:"
// headers: English names and the machine's numeric zone offset, whatever
// the process's locale.
#pragma once

#include <ctime>
#include <string>

// strftime of the local time; empty when the text does not fit 128 bytes.
std::string FormatLocalTime(std::time_t when, const char* format);
std::string LocalDateTimeText(std::time_t when);
std::string MailDateText(std::time_t when);
