#include "net/SerialPort.h"

#include "net/TransportError.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace net {

namespace {

using Kind = TransportError::Kind;

speed_t speedOf(int baud) {
    struct Row {
        int baud;
        speed_t speed;
    };
    static constexpr Row kRows[] = {
        {1200, B1200},       {2400, B2400},       {4800, B4800},     {9600, B9600},
        {19200, B19200},     {38400, B38400},     {57600, B57600},   {115200, B115200},
        {230400, B230400},   {460800, B460800},   {500000, B500000}, {921600, B921600},
        {1000000, B1000000}, {2000000, B2000000},
    };
    for (const Row& row : kRows) {
        if (row.baud == baud) {
            return row.speed;
        }
    }
    throw TransportError(Kind::System, "unsupported baud rate " + std::to_string(baud));
}

/// True for the errors a device that went away gives (unplugged, hung up, pty master closed).
bool meansGone(int error) {
    return error == EIO || error == ENXIO || error == ENODEV || error == EPIPE;
}

/// Raw 8N1, no flow control of either kind, reads that wait for one byte.
void makeRaw(int fd, int baud, const std::string& path) {
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) {
        throw TransportError(Kind::System, path + ": not a serial device");
    }
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS | CSIZE);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    // With VMIN 0 a non-blocking read of an empty port would return 0, which is how a hang-up
    // reads: one byte minimum keeps "nothing yet" an EAGAIN.
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    const speed_t speed = speedOf(baud);
    ::cfsetispeed(&tio, speed);
    ::cfsetospeed(&tio, speed);
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
        throw TransportError(Kind::System, path + ": " + std::strerror(errno));
    }
    // USB serial chips hold short replies for a latency timer (16 ms by default); the low
    // latency flag asks the driver to pass them on at once. Devices without it ignore this.
    serial_struct info{};
    if (::ioctl(fd, TIOCGSERIAL, &info) == 0) {
        info.flags |= ASYNC_LOW_LATENCY;
        ::ioctl(fd, TIOCSSERIAL, &info);
    }
    ::tcflush(fd, TCIOFLUSH);
}

} // namespace

SerialPort SerialPort::open(const std::string& path, int baud) {
    // O_NONBLOCK: an open must not wait for a carrier, and every wait is a poll with a deadline.
    Fd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) {
        if (errno == EBUSY) {
            throw TransportError(Kind::ConnectionRefused, path + ": in use by another program");
        }
        throw TransportError(errno == ENOENT ? Kind::HostNotFound : Kind::System,
                             path + ": " + std::strerror(errno));
    }
    // Exclusive use, two ways: flock() refuses a second program that also locks (this one
    // again, most serial tools), for root too; TIOCEXCL makes the kernel refuse any further
    // open() of the device with EBUSY (root excepted). Either way the second program gets
    // "in use by another program" and this one keeps the port.
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        throw TransportError(Kind::ConnectionRefused, path + ": in use by another program");
    }
    makeRaw(fd.get(), baud, path);
    ::ioctl(fd.get(), TIOCEXCL);
    return SerialPort(std::move(fd), path);
}

void SerialPort::fail(int error) const {
    if (meansGone(error)) {
        throw TransportError(Kind::ConnectionLost, m_path);
    }
    throw TransportError(Kind::System, m_path + ": " + std::strerror(error));
}

void SerialPort::waitFor(short events, Deadline deadline) {
    pollfd p{m_fd.get(), events, 0};
    for (;;) {
        const int n = ::poll(&p, 1, deadline.pollTimeoutMs());
        if (n > 0) {
            if ((p.revents & events) != 0) {
                return; // data (even with a hang-up beside it) is read first
            }
            throw TransportError(Kind::ConnectionLost, m_path); // POLLHUP, POLLERR, POLLNVAL
        }
        if (n == 0) {
            throw TransportError(Kind::Timeout, m_path);
        }
        if (errno != EINTR) {
            fail(errno);
        }
    }
}

void SerialPort::sendAll(std::span<const std::uint8_t> bytes, Deadline deadline) {
    if (!isOpen()) {
        throw TransportError(Kind::ConnectionLost, m_path);
    }
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::write(m_fd.get(), bytes.data() + sent, bytes.size() - sent);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            waitFor(POLLOUT, deadline);
        } else {
            fail(n == 0 ? EIO : errno);
        }
    }
}

std::size_t SerialPort::receiveSome(std::span<std::uint8_t> out, Deadline deadline) {
    if (!isOpen()) {
        throw TransportError(Kind::ConnectionLost, m_path);
    }
    for (;;) {
        const ssize_t n = ::read(m_fd.get(), out.data(), out.size());
        if (n > 0) {
            return static_cast<std::size_t>(n);
        }
        if (n == 0) {
            throw TransportError(Kind::ConnectionLost, m_path); // hung up
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN) {
            fail(errno);
        }
        waitFor(POLLIN, deadline);
    }
}

bool SerialPort::hungUp() const noexcept {
    pollfd p{m_fd.get(), 0, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

} // namespace net
