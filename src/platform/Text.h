// Text: the small string operations every layer shares (trimming, ASCII case
// folding, comparing without regard to case, cutting UTF-8 text).
//
// Protocol keywords, header names, registry names and file names compare
// without regard to case in ASCII only; the C library's locale-dependent
// functions are not used, so a locale can never change what matches.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The C library's white space in the "C" locale: space, TAB, CR, LF, VT, FF.
bool IsBlank(char c);
// text without leading and trailing white space (IsBlank). The view points
// into text: keep the argument alive while the result is used.
std::string_view Trim(std::string_view text);

// ASCII letters lower-cased (the folding every name comparison uses).
std::string FoldCase(std::string text);
// ASCII letters upper-cased.
std::string UpperCase(std::string text);
bool EqualsNoCase(std::string_view a, std::string_view b);
bool StartsWithNoCase(std::string_view text, std::string_view prefix);
bool EndsWithNoCase(std::string_view text, std::string_view suffix);

// text cut to at most maxBytes bytes, never inside a UTF-8 sequence: the cut
// backs off over up to three continuation bytes to the start of the
// character it would split. Where that does not reach such a start the text
// is not UTF-8 and is cut at maxBytes.
std::string CutAtCharacter(std::string text, std::size_t maxBytes);
