#pragma once

namespace net {

/// Owns a file descriptor and closes it once.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) noexcept : m_fd(fd) {}
    Fd(Fd&& other) noexcept : m_fd(other.release()) {}
    Fd& operator=(Fd&& other) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }

    int get() const noexcept { return m_fd; }
    bool valid() const noexcept { return m_fd >= 0; }
    int release() noexcept;
    void reset(int fd = -1) noexcept;

private:
    int m_fd = -1;
};

} // namespace net
