// DecimalDigits: a plain decimal number as the shell's options and the
// console's fields give it, read alike by every input check.
#pragma once

#include <cstddef>
#include <string_view>

// The number text spells in 1 to maxDigits (at most 19) decimal digits and
// nothing else: no sign, no blanks. False (value unchanged) otherwise.
bool ParseDecimalDigits(std::string_view text, std::size_t maxDigits, unsigned long long& value);
