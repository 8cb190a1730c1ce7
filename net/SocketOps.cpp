#include "net/SocketOps.h"

#include <sys/socket.h>

namespace net {

ssize_t SocketOps::send(int fd, const void* data, std::size_t length) {
    return ::send(fd, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
}

ssize_t SocketOps::sendv(int fd, const iovec* pieces, int count) {
    msghdr message{};
    message.msg_iov = const_cast<iovec*>(pieces);
    message.msg_iovlen = static_cast<std::size_t>(count);
    return ::sendmsg(fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
}

ssize_t SocketOps::recv(int fd, void* data, std::size_t length) {
    return ::recv(fd, data, length, 0);
}

SocketOps& SocketOps::system() {
    static SocketOps ops;
    return ops;
}

} // namespace net
