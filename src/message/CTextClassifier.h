// CTextClassifier: which character set and transfer encoding a text needs,
// told from its bytes as they stream past (a file is never held whole).
//
// SevenBit: ASCII that "7bit" carries as is (no NUL, no line over 998
// bytes). Utf8: valid UTF-8 with characters beyond ASCII. EightBit: any
// other bytes; taken for ISO-8859-1, whose every byte is a character.
#pragma once

#include <cstddef>
#include <string_view>

class CTextClassifier {
public:
    enum class Kind { SevenBit, Utf8, EightBit };

    // The longest line "7bit" allows, without its CR LF.
    static constexpr std::size_t kMaxLineBytes = 998;

    void Feed(std::string_view bytes);
    // The kind of everything fed so far (a sequence left open counts as invalid).
    Kind Result() const;

    static Kind Of(std::string_view text);

private:
    bool beyondAscii = false;
    bool notUtf8 = false;
    bool notSevenBit = false;
    std::size_t lineLength = 0;
    int continuations = 0;       // continuation bytes the open sequence still needs
    unsigned char low = 0x80;    // range of the next continuation byte: Unicode's
    unsigned char high = 0xBF;   // table of well-formed sequences
};
