#include "gateway/hislip/HislipSession.h"

#include "net/TransportError.h"

#include <chrono>

namespace gateway {

namespace {

/// An asynchronous message that cannot go out within this long meets a client that does not
/// read its asynchronous channel: the session ends rather than hold up the sender (which may
/// be another client's call delivering a service request).
constexpr std::chrono::seconds kAsyncSendLimit{5};

} // namespace

bool HislipSession::bindAsync(std::shared_ptr<Endpoint> async) {
    const std::lock_guard lk(m_mutex);
    if (m_async || m_ended) {
        return false;
    }
    m_async = std::move(async);
    m_established = true;
    ++m_channels;
    return true;
}

bool HislipSession::end() {
    std::shared_ptr<Endpoint> async;
    {
        const std::lock_guard lk(m_mutex);
        if (m_ended) {
            return false;
        }
        m_ended = true;
        async = m_async;
    }
    m_changed.notify_all();
    m_sync->socket.shutdown();
    if (async) {
        async->socket.shutdown();
    }
    m_device.wake();
    return true;
}

void HislipSession::leave() {
    std::shared_ptr<Endpoint> async;
    {
        const std::lock_guard lk(m_mutex);
        m_leaving = true;
        async = m_async;
    }
    m_changed.notify_all();
    if (async) {
        async->socket.shutdown();
    }
    // The synchronous channel reads what came before, then reads as closed.
    m_sync->socket.stopReceiving();
    m_device.wake();
}

bool HislipSession::channelDone(bool sync) {
    if (sync) {
        end();
    } else {
        leave();
    }
    const std::lock_guard lk(m_mutex);
    return --m_channels == 0;
}

HislipSession::State HislipSession::state() const {
    const std::lock_guard lk(m_mutex);
    return m_state;
}

bool HislipSession::send(Endpoint* channel, std::span<const std::uint8_t> message,
                         net::Deadline deadline) {
    if (channel == nullptr) {
        return false;
    }
    try {
        const std::lock_guard lk(channel->sendMutex);
        channel->socket.sendAll(message, deadline);
        return true;
    } catch (const net::TransportError&) {
        end();
        return false;
    }
}

bool HislipSession::sendSync(std::span<const std::uint8_t> message) {
    // A client reading a response slowly holds only its own session; the end of the session
    // or the server's stop ends the send.
    return send(m_sync.get(), message, net::Deadline::never());
}

bool HislipSession::sendAsync(std::span<const std::uint8_t> message) {
    std::shared_ptr<Endpoint> async;
    {
        const std::lock_guard lk(m_mutex);
        async = m_async;
    }
    return send(async.get(), message, net::Deadline::after(kAsyncSendLimit));
}

bool HislipSession::sendData(const hislip::HeaderBytes& header, const AnswerBytes& piece,
                             WaveformScratch& scratch) {
    try {
        const std::lock_guard lk(m_sync->sendMutex);
        sendAnswer(m_sync->socket, header, {}, piece, {}, scratch, net::Deadline::never());
        return true;
    } catch (const net::TransportError&) {
        end();
        return false;
    }
}

void HislipSession::fatal(std::uint8_t code, std::string_view text) {
    const hislip::Bytes message = hislip::fatalError(code, text);
    std::shared_ptr<Endpoint> async;
    {
        const std::lock_guard lk(m_mutex);
        async = m_async;
    }
    // The client may not be reading: the notice goes if it can, the session ends anyway.
    send(m_sync.get(), message, net::Deadline::after(kAsyncSendLimit));
    send(async.get(), message, net::Deadline::after(kAsyncSendLimit));
    end();
}

void HislipSession::holdMav() {
    // Usually the answer is readable, so MAV stands already and nothing rises.
    m_device.with([this](BusTurn& turn) {
        const std::lock_guard lk(m_mutex);
        if (!m_state.mav) {
            m_state.mav = true;
            turn.holdMessage(m_device.device());
        }
    });
}

void HislipSession::releaseMav() {
    m_device.with([this](BusTurn& turn) {
        const std::lock_guard lk(m_mutex);
        if (m_state.mav) {
            m_state.mav = false;
            turn.releaseMessage(m_device.device());
        }
    });
}

} // namespace gateway
