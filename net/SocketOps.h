#pragma once

#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>

namespace net {

/// The system calls under a connection. Tests replace them to force short writes, resets and
/// half-closed peers without needing a misbehaving kernel.
class SocketOps {
public:
    virtual ~SocketOps() = default;
    /// As send(2) with MSG_NOSIGNAL and MSG_DONTWAIT: never blocks, never raises SIGPIPE.
    virtual ssize_t send(int fd, const void* data, std::size_t length);
    /// As sendmsg(2) of `count` pieces, with the flags of send(): the pieces go out as one
    /// stream of bytes, each from where it lies.
    virtual ssize_t sendv(int fd, const iovec* pieces, int count);
    /// As recv(2): waits on a blocking socket, not on a non-blocking one.
    virtual ssize_t recv(int fd, void* data, std::size_t length);

    /// The plain system calls.
    static SocketOps& system();
};

} // namespace net
