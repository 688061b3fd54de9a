// SqlFormat: the statement formatter. FormatSql("... '%s' ... %ld", args...)
// takes a constant format and only typed arguments: SqlText for a value
// between quotes, SqlTrusted for program-made text, and integers. A raw
// std::string or char pointer does not compile, so no value can reach a
// statement unquoted by accident; the format is checked at compile time
// against the arguments (%s for text, %d / %ld / %u for integers, %% for %).
#pragma once

#include <concepts>
#include <cstddef>
#include <string>
#include <type_traits>

#include "foundation/SqlText.h"
#include "foundation/SqlTrusted.h"

template <class T>
concept SqlNumber = std::integral<T> && !std::same_as<T, bool> && !std::same_as<T, char> &&
                    !std::same_as<T, signed char> && !std::same_as<T, unsigned char> && !std::same_as<T, char8_t> &&
                    !std::same_as<T, char16_t> && !std::same_as<T, char32_t> && !std::same_as<T, wchar_t>;
template <class T>
concept SqlPiece = std::same_as<T, SqlText> || std::same_as<T, SqlTrusted>;
template <class T>
concept SqlArgument = SqlNumber<T> || SqlPiece<T>;

// Not defined and not constexpr: reaching one while a format is checked
// stops the compilation with its name as the message.
void SqlFormatHasMoreConversionsThanArguments();
void SqlFormatHasFewerConversionsThanArguments();
void SqlFormatPutsTextAtANumberConversion();
void SqlFormatPutsANumberAtATextConversion();
void SqlFormatHasAnUnknownConversion();

template <SqlArgument... Args>
class SqlFormat {
public:
    consteval SqlFormat(const char* format) : text(format) {
        constexpr bool isText[] = {SqlPiece<Args>..., false};
        std::size_t next = 0;
        for (const char* p = format; *p != '\0'; ++p) {
            if (*p != '%') continue;
            ++p;
            if (*p == '%') continue;
            while (*p == 'l' || *p == 'h' || *p == 'z') ++p;
            const bool number = *p == 'd' || *p == 'i' || *p == 'u';
            if (!number && *p != 's') {
                SqlFormatHasAnUnknownConversion();
                return;
            }
            if (next == sizeof...(Args)) SqlFormatHasMoreConversionsThanArguments();
            if (number && isText[next]) SqlFormatPutsTextAtANumberConversion();
            if (!number && !isText[next]) SqlFormatPutsANumberAtATextConversion();
            ++next;
        }
        if (next != sizeof...(Args)) SqlFormatHasFewerConversionsThanArguments();
    }

    const char* Text() const { return text; }

private:
    const char* text;
};

namespace sqlformat {
// The format with each conversion replaced by the next piece, in order.
std::string Compose(const char* format, const std::string* pieces);

inline std::string Piece(const SqlText& value) {
    return value.Escaped();
}
inline std::string Piece(const SqlTrusted& value) {
    return std::string(value.Text());
}
template <SqlNumber T>
std::string Piece(T value) {
    return std::to_string(value);
}
}  // namespace sqlformat

template <SqlArgument... Args>
std::string FormatSql(SqlFormat<std::type_identity_t<Args>...> format, const Args&... args) {
    const std::string pieces[] = {sqlformat::Piece(args)..., std::string()};
    return sqlformat::Compose(format.Text(), pieces);
}
