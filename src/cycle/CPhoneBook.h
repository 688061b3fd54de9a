// CPhoneBook: the dial-up entries of the office, kept in "phonebook.conf" in
// the home, and what can be asked of them.
//
// Each entry names the commands that bring its link up and take it down
// and, optionally, one that tells whether it is up (exit status 0) and the
// seconds any of them may take before it is killed:
//
//   [Office ISP]
//   up = pon office
//   down = poff office
//   status = /usr/local/bin/ppp-is-up office
//   timeout = 60
//
// Commands run without a shell: words are separated by blanks, and a word
// in double quotes may hold blanks. Lines starting with "#" or ";" are
// comments. At most kMaxEntries entries are read, as the page lists.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

class CPhoneBook {
public:
    static constexpr const char* kFileName = "phonebook.conf";
    static constexpr std::size_t kMaxEntries = 100;
    static constexpr std::size_t kMaxFileBytes = 64 * 1024;
    static constexpr std::chrono::seconds kDefaultTimeout{60};
    static constexpr std::chrono::seconds kMaxTimeout{3600};

    struct Entry {
        std::string name;
        std::vector<std::string> up;
        std::vector<std::string> down;
        std::vector<std::string> status;  // empty: nobody can tell whether it is up
        std::chrono::seconds timeout = kDefaultTimeout;
    };

    // Reads path (the home's phone book when empty); false when it cannot
    // be opened. Lines that make no sense are passed over and named in
    // Problems().
    bool Load(const std::string& path = "");
    void Parse(std::string_view text);

    const std::vector<Entry>& Entries() const { return entries; }
    const std::vector<std::string>& Problems() const { return problems; }
    // As the page's list selects a stored name: the first entry that begins
    // with name (regardless of case), or the first entry when name is empty;
    // null when there is none.
    const Entry* Select(const std::string& name) const;

    // How many entries report their link up; entries without a status
    // command are not counted.
    std::size_t CountActive() const;

    static std::vector<std::string> SplitCommand(std::string_view line);
    static std::string DefaultPath();

private:
    std::vector<Entry> entries;
    std::vector<std::string> problems;
};
