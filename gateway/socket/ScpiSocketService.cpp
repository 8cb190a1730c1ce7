#include "gateway/socket/ScpiSocketService.h"

#include "gateway/serving/ReceiveBuffer.h"
#include "gateway/serving/SendAnswer.h"
#include "net/TransportError.h"

#include <limits>

namespace gateway {

std::unique_ptr<ServedConnection> ScpiSocketService::accept(net::TcpConnection socket,
                                                            const net::IpAddress& /*peer*/) {
    // The simulator refuses to start a socket server without a LAN instrument to serve.
    return std::make_unique<ScpiConnection>(
        std::move(socket), DeviceAccess(m_bus, m_locks, *m_bus.defaultLan(), m_locks.newHolder()));
}

void ScpiConnection::shutdown() {
    m_stopping = true;
    StreamConnection::shutdown();
    m_device.wake();
}

void ScpiConnection::serve() {
    ReceiveBuffer buffer;
    // The connection is the session: it may stay idle as long as its client likes, as a
    // VXI-11 link may; the server's stop ends the receive.
    socket().setReceiveTimeout({});
    for (;;) {
        const std::optional<std::size_t> got = socket().receiveBlocking(buffer.space());
        buffer.received(got.value_or(0));
        if (!got) {
            continue;
        }
        if (*got == 0 || !received(std::span(buffer.data(), *got))) {
            break;
        }
    }
    if (m_partial) {
        m_device.with(
            [this](BusTurn& turn) { turn.forgetInput(m_device.device(), m_device.holder()); });
    }
    m_device.locks().leave(m_device.holder());
    socket().shutdown();
    finished();
}

bool ScpiConnection::received(std::span<const std::uint8_t> data) {
    const DeviceAccess::Stop stop = [this] { return m_stopping.load(); };
    while (!data.empty()) {
        const std::optional<std::size_t> used = m_device.feed(data, false, stop);
        if (!used) {
            return false;
        }
        data = data.subspan(*used);
        if (m_device.answerQueued() && !answer()) {
            return false;
        }
    }
    m_partial = m_device.with(
        [this](BusTurn& turn) { return turn.midMessage(m_device.device(), m_device.holder()); });
    return true;
}

bool ScpiConnection::answer() {
    if (!m_device.awaitAnswer([this] { return m_stopping.load(); })) {
        return !m_stopping;
    }
    // The whole answer at once: its text is held anyway, and a waveform is made as it goes.
    AnswerBytes bytes;
    m_device.take(std::numeric_limits<std::uint64_t>::max(), bytes);
    try {
        sendAnswer(socket(), {}, {}, bytes, {}, m_scratch, net::Deadline::never());
    } catch (const net::TransportError&) {
        return false;
    }
    return true;
}

} // namespace gateway
