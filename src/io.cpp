#include "io.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <poll.h>
#include <unistd.h>

namespace avr_ee {

error::error(std::string_view what_failed, std::string_view path, std::string_view reason) noexcept
{
    text_ << what_failed << ": " << path << ": " << reason;
}

fixed_text& fixed_text::operator<<(std::string_view more) noexcept
{
    std::size_t n = std::min(more.size(), CAPACITY - size_);
    std::copy_n(more.data(), n, text_.data() + size_);
    size_ += n;
    return *this;
}

fixed_text& fixed_text::operator<<(unsigned long long number) noexcept
{
    std::array<char, 24> digits;
    auto [end, ec] = std::to_chars(digits.data(), digits.data() + digits.size(), number);
    return *this << std::string_view(digits.data(), static_cast<std::size_t>(end - digits.data()));
}

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

void report(std::string_view program, const error& failure) noexcept
{
    // Four characters at most for each of the message's.
    std::array<char, 32 + 4 * error::CAPACITY + 1> line;
    fixed_text prefix;
    prefix << program.substr(0, 30) << ": ";
    auto end = std::copy(prefix.view().begin(), prefix.view().end(), line.begin());
    for (char c : failure.message()) {
        auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7f) {
            *end++ = c;
        } else if (c == '\n') {
            *end++ = '\\';
            *end++ = 'n';
        } else {
            constexpr std::string_view HEX = "0123456789abcdef";
            end = std::copy_n("\\x", 2, end);
            *end++ = HEX[byte >> 4];
            *end++ = HEX[byte & 0xF];
        }
    }
    *end++ = '\n';
    (void)write_all(STDERR_FILENO, {line.begin(), end});  // nowhere left to report a failure to
}

}  // namespace avr_ee
