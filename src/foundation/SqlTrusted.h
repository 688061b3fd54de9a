// SqlTrusted: statement text placed as it stands, never quoted: a fixed word
// written in the program ("true", a table name) or a plain identifier checked
// when it is made. Text from outside cannot become one by accident: a
// literal is checked at compile time, anything else must pass Name.
#pragma once

#include <optional>
#include <string_view>

class SqlTrusted {
public:
    // Only a constant: a run-time pointer does not compile.
    consteval SqlTrusted(const char* literal) : text(literal) {}
    // A table or column name of ASCII letters, digits and '_' (not starting
    // with a digit); anything else is refused. name must outlive the result.
    static std::optional<SqlTrusted> Name(std::string_view name);

    std::string_view Text() const { return text; }

private:
    struct Checked {};
    SqlTrusted(Checked, std::string_view checked) : text(checked) {}
    std::string_view text;
};
