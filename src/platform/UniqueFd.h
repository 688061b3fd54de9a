// UniqueFd: owns one POSIX file descriptor and closes it once.
#pragma once

#include <unistd.h>
#include <utility>

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            Reset();
            fd = std::exchange(other.fd, -1);
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const { return fd; }
    int Release() { return std::exchange(fd, -1); }
    void Reset(int next = -1) {
        if (fd >= 0) ::close(fd);
        fd = next;
    }
    explicit operator bool() const { return fd >= 0; }

private:
    int fd = -1;
};
