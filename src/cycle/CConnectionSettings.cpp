// CConnectionSettings: the archive encoding of Connect.stg.
#include "cycle/CConnectionSettings.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "foundation/PasswordScrambler.h"
#include "platform/FileIo.h"
#include "platform/Home.h"
#include "platform/Text.h"
#include "platform/UniqueFd.h"

namespace {

void PutLittleEndian(std::string& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

void PutString(std::string& out, std::string_view text) {
    const std::size_t n = text.size();
    if (n < 0xFF) {
        PutLittleEndian(out, n, 1);
    } else if (n < 0xFFFE) {
        PutLittleEndian(out, 0xFF, 1);
        PutLittleEndian(out, n, 2);
    } else {
        PutLittleEndian(out, 0xFF, 1);
        PutLittleEndian(out, 0xFFFF, 2);
        PutLittleEndian(out, n, 4);
    }
    out.append(text);
}

// Reads the archive's items from the front of a byte view.
class ArchiveCursor {
public:
    explicit ArchiveCursor(std::string_view bytes) : bytes(bytes) {}

    bool Number(std::uint64_t& value, int size) {
        if (bytes.size() < static_cast<std::size_t>(size)) return false;
        value = 0;
        for (int i = 0; i < size; ++i)
            value |= static_cast<std::uint64_t>(static_cast<unsigned char>(bytes[i])) << (8 * i);
        bytes.remove_prefix(static_cast<std::size_t>(size));
        return true;
    }

    bool String(std::string& text) {
        std::uint64_t length = 0;
        if (!Number(length, 1)) return false;
        if (length == 0xFF) {
            if (!Number(length, 2)) return false;
            if (length == 0xFFFF && !Number(length, 4)) return false;
        }
        if (length > bytes.size()) return false;
        text.assign(bytes.substr(0, length));
        bytes.remove_prefix(length);
        return true;
    }

private:
    std::string_view bytes;
};

}  // namespace

bool CConnectionSettings::IsDialUp() const {
    return EqualsNoCase(method, "Ras");
}

std::string CConnectionSettings::Serialize() const {
    std::string out;
    PutString(out, method);
    PutString(out, entryName);
    PutString(out, userName);
    PutString(out, PasswordScrambler::Scramble(userName, password));
    PutLittleEndian(out, retries, 4);
    PutString(out, interval);
    return out;
}

bool CConnectionSettings::Parse(std::string_view bytes) {
    ArchiveCursor cursor(bytes);
    std::string scrambled;
    std::uint64_t number = 0;
    if (!cursor.String(method) || !cursor.String(entryName) || !cursor.String(userName)) return false;
    if (!cursor.String(scrambled)) return false;
    password = PasswordScrambler::Unscramble(userName, scrambled);
    if (!cursor.Number(number, 4)) return false;
    retries = static_cast<std::uint32_t>(number);
    return cursor.String(interval);
}

std::string CConnectionSettings::DefaultPath() {
    return Home::PathOf(kFileName);
}

bool CConnectionSettings::Load(const std::string& path) {
    const UniqueFd fd(::open((path.empty() ? DefaultPath() : path).c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return false;
    std::string bytes;
    char block[4096];
    while (bytes.size() < kMaxFileBytes) {
        const ssize_t n = ::read(fd.Get(), block, sizeof block);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        bytes.append(block, static_cast<std::size_t>(n));
    }
    if (bytes.size() > kMaxFileBytes) bytes.resize(kMaxFileBytes);
    return Parse(bytes);
}

bool CConnectionSettings::Save(const std::string& path) const {
    const std::string target = path.empty() ? DefaultPath() : path;
    const std::string temporary = target + ".new";
    const std::string bytes = Serialize();
    {
        const UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
        if (!fd) return false;
        if (!WriteAll(fd.Get(), bytes.data(), bytes.size()) || ::fsync(fd.Get()) != 0) {
            const int saved = errno;
            ::unlink(temporary.c_str());
            errno = saved;
            return false;
        }
    }
    if (std::rename(temporary.c_str(), target.c_str()) != 0) {
        const int saved = errno;
        ::unlink(temporary.c_str());
        errno = saved;
        return false;
    }
    return true;
}
