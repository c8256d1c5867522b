// Host file descriptors: owned, and read and written through signals.
// Private to src/platform/posix.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

namespace dosprep::posix {

// Closes a descriptor when it goes, unless released.
class FileDescriptor {
  public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(FileDescriptor &&other) noexcept : fd_(other.Release()) {}
    FileDescriptor &operator=(FileDescriptor other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    ~FileDescriptor() {
        if (fd_ >= 0)
            close(fd_);
    }
    int Get() const { return fd_; }
    int Release() { return std::exchange(fd_, -1); }

  private:
    int fd_ = -1;
};

// `io()` (read, write, pread), made again while a signal interrupts it:
// its count, or -1 with errno set.
template <typename Io> ssize_t Retrying(Io io) {
    ssize_t done = 0;
    while ((done = io()) < 0 && errno == EINTR) {
    }
    return done;
}

inline ssize_t ReadRetrying(int fd, char *buffer, std::size_t size) {
    return Retrying([&] { return read(fd, buffer, size); });
}

// Largest single read or write; Linux moves at most about 2 GiB a call.
constexpr std::size_t kMaxTransfer = std::size_t{1} << 30;

// Reads `size` bytes, fewer only when the file ends first, as Windows does
// for files; false with errno set on failure. `done` counts what was read.
inline bool ReadAll(int fd, char *data, std::size_t size, std::size_t &done) {
    for (done = 0; done < size;) {
        ssize_t got = ReadRetrying(fd, data + done, std::min(size - done, kMaxTransfer));
        if (got <= 0)
            return got == 0;
        done += static_cast<std::size_t>(got);
    }
    return true;
}

// Clears O_NONBLOCK, set for the open only; false with errno on failure.
inline bool ClearNonBlocking(int fd) {
    int flags = fcntl(fd, F_GETFL);
    return flags != -1 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != -1;
}

} // namespace dosprep::posix
