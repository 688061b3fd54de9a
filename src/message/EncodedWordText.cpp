// EncodedWordText.
#include "message/EncodedWordText.h"

#include <algorithm>

#include "message/CBase64Encoder.h"
#include "platform/Text.h"

std::string EncodedWords(std::string_view text, std::string_view charset, bool utf8) {
    const std::string open = "=?" + std::string(charset) + "?B?";
    // 75 characters less the delimiters, in whole base64 quanta.
    const std::size_t room = 75 - open.size() - 2;
    const std::size_t perWord = std::max<std::size_t>(room / 4 * 3, 3);
    const CBase64Encoder encoder;
    std::string words;
    while (!text.empty()) {
        std::size_t take = std::min(perWord, text.size());
        if (utf8 && take < text.size()) {
            const std::size_t whole = CutAtCharacter(std::string(text.substr(0, take + 1)), take).size();
            if (whole > 0) take = whole;
        }
        if (!words.empty()) words += "\r\n ";
        words += open + encoder.Encode(text.substr(0, take)) + "?=";
        text.remove_prefix(take);
    }
    return words;
}

std::string WithoutOpenEncodedWord(std::string text) {
    const std::size_t start = text.rfind("=?");
    if (start == std::string::npos) return text;
    // "=?charset?encoding?text?=": the two inner "?" and then the closing "?=".
    const std::size_t charsetEnd = text.find('?', start + 2);
    const std::size_t encodingEnd = charsetEnd == std::string::npos ? charsetEnd : text.find('?', charsetEnd + 1);
    if (encodingEnd != std::string::npos && text.find("?=", encodingEnd) != std::string::npos) return text;
    text.erase(start);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.pop_back();
    return text;
}
