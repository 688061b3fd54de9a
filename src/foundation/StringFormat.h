// StringFormat: printf-style composition into a std::string, and the one
// helper through which every value placed inside quotes in SQL text passes.
#pragma once

#include <string>
#include <string_view>

std::string StringPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The value with every apostrophe doubled, for use between single quotes in
// SQL text. A NUL byte ends the value, as it would in the C string the
// driver receives. Statements take it as SqlText::Quote, through FormatSql.
std::string SqlEscape(std::string_view value);
