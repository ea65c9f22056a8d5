#include "unique_fd.hpp"

#include <cerrno>
#include <poll.h>
#include <unistd.h>

namespace avr_ee {

unique_fd& unique_fd::operator=(unique_fd&& other) noexcept
{
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

unique_fd::~unique_fd()
{
    close();
}

int unique_fd::close() noexcept
{
    if (fd_ < 0)
        return 0;
    // Not retried on EINTR: Linux has released the descriptor either way.
    return ::close(std::exchange(fd_, -1)) == 0 ? 0 : errno;
}

namespace {

// Waits until FD, a descriptor its owner put in non-blocking mode (a caller's
// pipe, say), can take more. False when poll itself fails.
bool wait_writable(int fd) noexcept
{
    struct pollfd p{fd, POLLOUT, 0};
    for (;;) {
        if (::poll(&p, 1, -1) >= 0)
            return true;
        if (errno != EINTR)
            return false;
    }
}

}  // namespace

int write_all(int fd, std::span<const char> data, std::optional<off_t> offset, std::size_t* written) noexcept
{
    while (!data.empty()) {
        ssize_t n = offset ? ::pwrite(fd, data.data(), data.size(), *offset) : ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN && wait_writable(fd))
                continue;
            return errno;
        }
        if (n == 0)
            return EIO;  // no progress and no error: give up rather than spin
        data = data.subspan(static_cast<std::size_t>(n));
        if (written)
            *written += static_cast<std::size_t>(n);
        if (offset)
            *offset += n;
    }
    return 0;
}

}  // namespace avr_ee
