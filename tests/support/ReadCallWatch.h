#pragma once
// A socket seam that lets a test act at the moment a device_read call has left the library,
// e.g. to kill or silence the gateway while the read waits. Tests that include this link
// siclquill_vxi11.

#include "net/SocketOps.h"
#include "vxi11/codec/Messages.h"
#include "vxi11/codec/Xdr.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace testsupport {

/// Passes every socket call through; says when a device_read call has gone out whole.
class ReadCallWatch : public net::SocketOps {
public:
    ssize_t send(int fd, const void* data, std::size_t length) override {
        const ssize_t n = SocketOps::send(fd, data, length);
        const auto* b = static_cast<const std::uint8_t*>(data);
        // Record mark (4), then xid, CALL, rpcvers, prog, vers, proc.
        if (n == static_cast<ssize_t>(length) && length >= 28 &&
            vxi11::xdr::loadBe32(b + 16) == vxi11::kDeviceCore &&
            vxi11::xdr::loadBe32(b + 24) == vxi11::proc::kDeviceRead) {
            std::lock_guard lock(m_mutex);
            m_readSent = true;
            m_cv.notify_all();
        }
        return n;
    }
    /// Forgets a read call seen so far, to wait for the next one.
    void arm() {
        std::lock_guard lock(m_mutex);
        m_readSent = false;
    }
    /// True once a device_read call has gone out (since the last arm()), within `limit`.
    bool waitForReadCall(std::chrono::milliseconds limit) {
        std::unique_lock lock(m_mutex);
        return m_cv.wait_for(lock, limit, [this] { return m_readSent; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_readSent = false;
};

} // namespace testsupport
