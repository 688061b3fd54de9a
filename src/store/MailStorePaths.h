// MailStorePaths: where the mail store lives on disk and which names may
// become part of a path in it.
//
// The store root is the "Mail Directory" setting; an account's directory is
// the root plus its mailbox name, a folder's directory the account directory
// plus the folder name. Every name that comes from the database or from a
// user is checked before it reaches the file system, so a bad row or a
// hostile folder name can never point outside the account's directory.
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace mailstore {

// The "Mail Directory" setting, read now; empty when it is missing.
std::string ReadMailDirectory();

// True for a single path component that stays where it is put: not empty,
// not "." or "..", no "/" and no control characters. The placeholder " " of a
// folder number without a folder is not a name either.
bool IsSafeName(std::string_view name);

// The name reduced to its ASCII letters and digits, cut to maxLength.
std::string CleanFolderName(std::string_view name, std::size_t maxLength);

// a + "/" + b, or "" when a is empty or b is not a safe name.
std::string JoinPath(const std::string& directory, std::string_view name);

// Creates the directory; an existing one is fine.
bool MakeDirectory(const std::string& path);

// Creates a new account's directory and a directory for each of its
// folders in it; all are tried, false when any is missing afterwards. The
// account database's MailStoreMaker.
bool MakeAccountDirectories(const std::string& accountDirectory, std::span<const char* const> folders);

// Longest folder name an account record keeps; longer names would not
// match their directory after the record is read back.
constexpr std::size_t kMaxFolderName = 31;

}  // namespace mailstore
