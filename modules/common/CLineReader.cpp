// CLineReader: buffered, bounded socket reading.
#include "CLineReader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>

#include "platform/TlsStream.h"

CLineReader::CLineReader(int socket, int stopFd, std::size_t maxLine, int timeoutMs, std::size_t bufferSize)
    : socket(socket), stopFd(stopFd), maxLine(maxLine < 3 ? 3 : maxLine), timeoutMs(timeoutMs),
      buffer(bufferSize < 64 ? 64 : bufferSize) {
    if (this->maxLine > buffer.size()) this->maxLine = buffer.size();
}

bool CLineReader::HasCompleteLine() const {
    return begin < end && std::memchr(buffer.data() + begin, '\n', end - begin) != nullptr;
}

std::string_view CLineReader::Buffered() const {
    return {buffer.data() + begin, end - begin};
}

void CLineReader::Consume(std::size_t count) {
    begin += count < end - begin ? count : end - begin;
    if (begin == end) begin = end = 0;
}

std::size_t CLineReader::DiscardBuffered() {
    const std::size_t dropped = end - begin;
    begin = end = 0;
    return dropped;
}

CLineReader::Status CLineReader::Fill(Clock::time_point deadline) {
    return begin < end ? Status::Ok : Receive(deadline);
}

CLineReader::Status CLineReader::Receive(Clock::time_point deadline) {
    if (begin == end) begin = end = 0;
    if (end == buffer.size()) {
        if (begin == 0) return Status::Failed;  // callers never let the buffer fill without consuming
        std::memmove(buffer.data(), buffer.data() + begin, end - begin);
        end -= begin;
        begin = 0;
    }
    if (tls) {
        std::size_t received = 0;
        switch (tls->Read(buffer.data() + end, buffer.size() - end, received, deadline)) {
            case TlsStream::Status::Ok:
                end += received;
                return Status::Ok;
            case TlsStream::Status::Closed:
                return Status::Closed;
            case TlsStream::Status::TimedOut:
                return Status::TimedOut;
            case TlsStream::Status::Stopped:
                return Status::Stopped;
            case TlsStream::Status::Failed:
                break;
        }
        return Status::Failed;
    }
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd fds[2] = {{socket, POLLIN, 0}, {stopFd, POLLIN, 0}};
        const int ready = ::poll(fds, stopFd >= 0 ? 2 : 1, left > 0 ? static_cast<int>(left) : 0);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return Status::Failed;
        }
        if (ready == 0) return Status::TimedOut;
        if (stopFd >= 0 && (fds[1].revents & POLLIN)) return Status::Stopped;
        const ssize_t n = ::recv(socket, buffer.data() + end, buffer.size() - end, 0);
        if (n > 0) {
            end += static_cast<std::size_t>(n);
            return Status::Ok;
        }
        if (n == 0) return Status::Closed;
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
        return errno == ECONNRESET ? Status::Closed : Status::Failed;
    }
}

CLineReader::Status CLineReader::ReadLine(std::string& line) {
    return ReadLine(line, Clock::time_point::max());
}

CLineReader::Status CLineReader::ReadLine(std::string& line, Clock::time_point latest) {
    line.clear();
    const Clock::time_point deadline = std::min(Clock::now() + std::chrono::milliseconds(timeoutMs), latest);
    std::size_t discarded = 0;
    bool tooLong = false;
    for (;;) {
        const char* start = buffer.data() + begin;
        const auto* newline = static_cast<const char*>(std::memchr(start, '\n', end - begin));
        if (newline) {
            const std::size_t length = static_cast<std::size_t>(newline - start) + 1;
            if (!tooLong && length <= maxLine) {
                std::size_t text = length - 1;
                if (text > 0 && start[text - 1] == '\r') --text;
                line.assign(start, text);
                Consume(length);
                return Status::Ok;
            }
            Consume(length);
            return Status::TooLong;
        }
        // No line end yet: beyond the limit nothing more of this line is kept.
        if (end - begin >= maxLine) {
            tooLong = true;
            discarded += end - begin;
            Consume(end - begin);
            if (discarded > kMaxDiscard) return Status::Failed;
        }
        const Status status = Receive(deadline);
        if (status != Status::Ok) return status;
    }
}
