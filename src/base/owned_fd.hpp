// A file descriptor closed at the end of its owner's scope; an flock taken
// on it ends with it.
#pragma once

#include <unistd.h>

#include <utility>

class OwnedFd {
public:
    explicit OwnedFd(int fd) : fd_(fd) {}
    OwnedFd(OwnedFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    OwnedFd(const OwnedFd&) = delete;
    OwnedFd& operator=(const OwnedFd&) = delete;
    OwnedFd& operator=(OwnedFd&&) = delete;
    ~OwnedFd() {
        if (fd_ >= 0) ::close(fd_);
    }
    // Negative when the open failed.
    int get() const { return fd_; }

private:
    int fd_;
};
