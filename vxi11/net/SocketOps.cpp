#include "vxi11/net/SocketOps.h"

#include <sys/socket.h>

namespace vxi11::net {

ssize_t SocketOps::send(int fd, const void* data, std::size_t length) {
    return ::send(fd, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
}

ssize_t SocketOps::recv(int fd, void* data, std::size_t length) {
    return ::recv(fd, data, length, 0);
}

SocketOps& SocketOps::system() {
    static SocketOps ops;
    return ops;
}

} // namespace vxi11::net
