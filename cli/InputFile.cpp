#include "cli/InputFile.h"

#include "cli/CtrlC.h"
#include "cli/Errors.h"
#include "net/Interrupt.h"
#include "net/WaitAny.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cli {

namespace {

/// Room added at least when the bytes of a stream outgrow what was read so far.
constexpr std::size_t kLeastGrowth = 64 * 1024;
/// Most bytes one read() asks for: a device such as /dev/urandom takes its time to fill a
/// large one, and the deadline is looked at between reads.
constexpr std::size_t kMostPerRead = 1024 * 1024;

} // namespace

InputFile::InputFile(std::string path, std::uintmax_t most, std::string mostText)
    : m_path(std::move(path)), m_most(most), m_mostText(std::move(mostText)) {
    m_fd.reset(::open(m_path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!m_fd.valid()) {
        cannotRead(errno);
    }
    struct stat about {};
    if (::fstat(m_fd.get(), &about) != 0) {
        cannotRead(errno);
    }
    if (S_ISDIR(about.st_mode)) {
        cannotRead(EISDIR);
    }
    if (S_ISREG(about.st_mode)) {
        m_size = static_cast<std::uintmax_t>(about.st_size);
        if (m_size > m_most) {
            tooLarge();
        }
    }
    // A pipe is waited on with the deadline rather than in read().
    const int flags = ::fcntl(m_fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(m_fd.get(), F_SETFL, flags | O_NONBLOCK) != 0) {
        cannotRead(errno);
    }
}

void InputFile::cannotRead(int error) const {
    throw Failure("cannot read " + m_path + ": " + std::strerror(error));
}

void InputFile::tooLarge() const {
    throw Failure(m_path + " is larger than " + m_mostText);
}

void InputFile::waitReadable(net::Deadline deadline) const {
    const std::array<net::Watched, 2> watched{
        net::Watched{m_fd.get(), net::Watch::Readable},
        net::Watched{net::interrupt::watchedFd(), net::Watch::Readable}};
    const std::uint32_t ready = net::waitAny(watched, deadline);
    if (interrupted()) {
        throw Failure("reading " + m_path + " was interrupted");
    }
    if ((ready & 2u) != 0) {
        net::interrupt::clearWake();
    }
    if (ready == 0) {
        throw Failure(m_path + " did not end within the time-out");
    }
}

std::string InputFile::readAll(net::Deadline deadline) {
    std::string data;
    // A regular file's size is known: one allocation (and one byte more, to see its end).
    data.resize(static_cast<std::size_t>(std::min(m_size + 1, m_most + 1)));
    std::size_t have = 0;
    for (;;) {
        if (have == data.size()) {
            if (have > m_most) {
                tooLarge();
            }
            data.resize(static_cast<std::size_t>(
                std::min<std::uintmax_t>(std::max(have * 2, have + kLeastGrowth), m_most + 1)));
        }
        const ssize_t n =
            ::read(m_fd.get(), data.data() + have, std::min(data.size() - have, kMostPerRead));
        if (n > 0) {
            have += static_cast<std::size_t>(n);
        } else if (n == 0) {
            break;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            waitReadable(deadline);
            continue;
        } else if (errno != EINTR) {
            cannotRead(errno);
        }
        if (deadline.expired()) {
            throw Failure(m_path + " did not end within the time-out");
        }
    }
    if (have > m_most) {
        tooLarge();
    }
    data.resize(have);
    return data;
}

} // namespace cli
