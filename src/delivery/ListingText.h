// ListingText: the header values local delivery keeps with a stored message,
// and the bounded read of a message's head they come from.
//
// Listings show a sender and a subject of at most 254 bytes; a value is cut
// only between characters, so a name in UTF-8 never ends in half a letter.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "message/CMailHeader.h"

class CMailContent;

// Only this much of a message is read as its head (header parsing, notices).
inline constexpr std::size_t kDeliveryHeadSize = 65536;

// The first kDeliveryHeadSize bytes of the content (fewer when it is
// shorter), read from the start; the content is rewound afterwards.
std::vector<char> ReadHeadBytes(CMailContent& content);
// The header parsed from those bytes, names folded to upper case.
CMailHeader ReadHeadOf(CMailContent& content);

// The field's value trimmed, cut to 254 bytes when longer than 255, and
// whenEmpty when nothing is left.
std::string ListingValue(const CMailHeader& header, std::string_view field, const char* whenEmpty);

// text cut to at most maxBytes bytes, never inside a UTF-8 sequence.
std::string CutAtCharacter(std::string text, std::size_t maxBytes);

// The address inside the first "<" ... ">" of a header value, else the
// value itself, trimmed.
std::string AddressOf(std::string_view value);
