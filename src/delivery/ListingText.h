// ListingText: the header values local delivery keeps with a stored message.
//
// Listings show a sender and a subject of at most 254 bytes; a value is cut
// only between characters, so a name in UTF-8 never ends in half a letter.
#pragma once

#include <string>
#include <string_view>

#include "message/CMailHeader.h"

// The field's value trimmed, cut to 254 bytes when longer than 255, and
// whenEmpty when nothing is left.
std::string ListingValue(const CMailHeader& header, std::string_view field, const char* whenEmpty);

// The address inside the first "<" ... ">" of a header value, else the
// value itself, trimmed.
std::string AddressOf(std::string_view value);
