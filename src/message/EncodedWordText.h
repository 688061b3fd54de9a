// EncodedWordText: header text beyond ASCII written as RFC 2047 encoded
// words ("=?UTF-8?B?...?="), so a header line stays ASCII whatever the
// text. Each word is at most 75 characters and holds whole characters; the
// words are joined by a folding CR LF SPACE, which a reader drops.
#pragma once

#include <string>
#include <string_view>

// text in "B" encoded words of charset. With utf8 a word never splits a
// UTF-8 character (text that is not UTF-8 is cut anywhere).
std::string EncodedWords(std::string_view text, std::string_view charset, bool utf8);

// text without a last encoded word that a cut left open ("=?UTF-8?B?w6" and
// the blanks before it); other text unchanged.
std::string WithoutOpenEncodedWord(std::string text);
