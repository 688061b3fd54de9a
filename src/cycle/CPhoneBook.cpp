// CPhoneBook: the phone book's reader and the status look-ups.
#include "cycle/CPhoneBook.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/CommandProcess.h"
#include "platform/Home.h"
#include "platform/Text.h"
#include "platform/UniqueFd.h"

std::string CPhoneBook::DefaultPath() {
    return Home::PathOf(kFileName);
}

bool CPhoneBook::Load(const std::string& path) {
    entries.clear();
    problems.clear();
    const UniqueFd fd(::open((path.empty() ? DefaultPath() : path).c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return false;
    std::string text;
    char block[4096];
    while (text.size() < kMaxFileBytes) {
        const ssize_t n = ::read(fd.Get(), block, sizeof block);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(block, static_cast<std::size_t>(n));
    }
    if (text.size() > kMaxFileBytes) {
        text.resize(kMaxFileBytes);
        problems.push_back("the file is longer than " + std::to_string(kMaxFileBytes) + " bytes; the rest is not read");
    }
    Parse(text);
    return true;
}

void CPhoneBook::Parse(std::string_view text) {
    std::size_t number = 0;
    bool skipping = false;  // inside an entry that is not kept
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view raw = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        ++number;
        const std::string_view line = Trim(raw);
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        const std::string where = "line " + std::to_string(number) + ": ";
        if (line.front() == '[') {
            const std::string_view name = line.back() == ']' ? Trim(line.substr(1, line.size() - 2)) : "";
            skipping = true;
            if (name.empty()) {
                problems.push_back(where + "an entry needs a name in [ ]");
            } else if (entries.size() >= kMaxEntries) {
                problems.push_back(where + "more than " + std::to_string(kMaxEntries) +
                                   " entries; the rest is not read");
                return;
            } else {
                entries.push_back(Entry{std::string(name), {}, {}, {}, kDefaultTimeout});
                skipping = false;
            }
            continue;
        }
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos || (entries.empty() && !skipping)) {
            problems.push_back(where + "expected [NAME] or KEY = VALUE");
            continue;
        }
        if (skipping) continue;
        const std::string key = FoldCase(std::string(Trim(line.substr(0, equals))));
        const std::string_view value = Trim(line.substr(equals + 1));
        Entry& entry = entries.back();
        if (key == "up") {
            entry.up = SplitCommand(value);
        } else if (key == "down") {
            entry.down = SplitCommand(value);
        } else if (key == "status") {
            entry.status = SplitCommand(value);
        } else if (key == "timeout") {
            const std::string digits(value);
            const long seconds =
                digits.size() <= 5 && !digits.empty() && digits.find_first_not_of("0123456789") == std::string::npos
                    ? std::strtol(digits.c_str(), nullptr, 10)
                    : 0;
            if (seconds < 1 || seconds > kMaxTimeout.count())
                problems.push_back(where + "timeout is a number of seconds from 1 to 3600");
            else
                entry.timeout = std::chrono::seconds(seconds);
        } else {
            problems.push_back(where + "unknown key \"" + key + "\" (up, down, status, timeout)");
        }
    }
}

std::vector<std::string> CPhoneBook::SplitCommand(std::string_view line) {
    std::vector<std::string> words;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && IsBlank(line[i])) ++i;
        if (i >= line.size()) break;
        std::string word;
        while (i < line.size() && !IsBlank(line[i])) {
            if (line[i] == '"') {
                const std::size_t close = line.find('"', i + 1);
                const std::size_t stop = close == std::string_view::npos ? line.size() : close;
                word.append(line.substr(i + 1, stop - i - 1));
                i = close == std::string_view::npos ? line.size() : close + 1;
            } else {
                word += line[i++];
            }
        }
        words.push_back(std::move(word));
    }
    return words;
}

const CPhoneBook::Entry* CPhoneBook::Select(const std::string& name) const {
    if (entries.empty()) return nullptr;
    if (name.empty()) return &entries.front();
    for (const Entry& entry : entries)
        if (StartsWithNoCase(entry.name, name)) return &entry;
    return nullptr;
}

std::size_t CPhoneBook::CountActive() const {
    std::size_t active = 0;
    for (const Entry& entry : entries) {
        if (entry.status.empty()) continue;
        if (CommandProcess::Run(entry.status, {}, entry.timeout).Succeeded()) ++active;
    }
    return active;
}
