// CConnectionSettings: how the office reaches the Internet, kept in
// "Connect.stg" in the home: the connection method ("RAS" for a dial-up or
// on-demand link brought up before each cycle, anything else for a line
// that is always there), the phone-book entry to dial, the credentials
// handed to it, how many times a failed dial is tried, and the redial
// interval.
//
// The file is a serialized archive: each text is its length and its bytes
// (a length below 255 in one byte; up to 65533 as 0xFF and 16 bits; beyond
// as 0xFF, 0xFFFF and 32 bits; all little-endian), the number of retries 32
// bits. The password is stored scrambled with the user name. A file that
// is missing, cut short or garbled leaves what could not be read at its
// initial value, so the console and the server agree on what it says.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

class CConnectionSettings {
public:
    static constexpr const char* kFileName = "Connect.stg";
    // The values the "I am using" choices write.
    static constexpr const char* kDialUp = "RAS";
    static constexpr const char* kLan = "LAN";
    // Nothing sensible is longer; a bigger file is read no further.
    static constexpr std::size_t kMaxFileBytes = 64 * 1024;

    std::string method;
    std::string entryName;
    std::string userName;
    std::string password;  // in the clear in memory, scrambled in the file; never logged
    std::uint32_t retries = 1;
    std::string interval;

    // "Ras" in any case means dial-up; everything else (also empty) is a
    // permanent connection.
    bool IsDialUp() const;

    // The file's bytes.
    std::string Serialize() const;
    // Fills in the fields in the file's order until the bytes run out or a
    // length does not fit what is left; true when all six were read.
    bool Parse(std::string_view bytes);

    // Reads path (Connect.stg in the home when empty); false when it cannot
    // be opened or is incomplete, with what was read kept.
    bool Load(const std::string& path = "");
    // Writes the file anew (a temporary file renamed over it, readable by
    // the owner only, as it holds the password); false with errno set.
    bool Save(const std::string& path = "") const;
    static std::string DefaultPath();
};
