#include "program.hpp"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <unistd.h>

#include "unique_fd.hpp"

namespace avr_ee {

void ignore_write_signals() noexcept
{
    struct sigaction ignore{};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, nullptr);
    ::sigaction(SIGXFSZ, &ignore, nullptr);
}

std::expected<void, error> print_and_close(std::initializer_list<std::string_view> texts,
                                           std::string_view write_failed, std::string_view close_failed)
{
    constexpr std::string_view STDOUT = "standard output";
    for (std::string_view text : texts)
        if (int err = write_all(STDOUT_FILENO, {text.data(), text.size()}))
            return std::unexpected(error(write_failed, STDOUT, std::strerror(err)));
    if (::close(STDOUT_FILENO) != 0)
        return std::unexpected(error(close_failed, STDOUT, std::strerror(errno)));
    return {};
}

}  // namespace avr_ee
