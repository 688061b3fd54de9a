// CTextClassifier. UTF-8 is checked to the letter: no
// overlong forms, no surrogates, nothing past U+10FFFF.
#include "message/CTextClassifier.h"

void CTextClassifier::Feed(std::string_view bytes) {
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '\r' || byte == '\n') {
            lineLength = 0;
        } else if (++lineLength > kMaxLineBytes || byte == 0) {
            notSevenBit = true;
        }
        if (continuations > 0) {
            if (byte < low || byte > high) {
                notUtf8 = true;
                continuations = 0;
                low = 0x80;
                high = 0xBF;
            } else {
                --continuations;
                low = 0x80;
                high = 0xBF;
                continue;
            }
        }
        if (byte < 0x80) continue;
        beyondAscii = true;
        notSevenBit = true;
        if (byte >= 0xC2 && byte <= 0xDF) {
            continuations = 1;
        } else if (byte >= 0xE0 && byte <= 0xEF) {
            continuations = 2;
            if (byte == 0xE0) low = 0xA0;
            if (byte == 0xED) high = 0x9F;
        } else if (byte >= 0xF0 && byte <= 0xF4) {
            continuations = 3;
            if (byte == 0xF0) low = 0x90;
            if (byte == 0xF4) high = 0x8F;
        } else {
            notUtf8 = true;
        }
    }
}

CTextClassifier::Kind CTextClassifier::Result() const {
    if (!notSevenBit) return Kind::SevenBit;
    if (beyondAscii && !notUtf8 && continuations == 0) return Kind::Utf8;
    return Kind::EightBit;
}

CTextClassifier::Kind CTextClassifier::Of(std::string_view text) {
    CTextClassifier classifier;
    classifier.Feed(text);
    return classifier.Result();
}
