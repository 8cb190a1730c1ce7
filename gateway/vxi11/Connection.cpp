#include "gateway/vxi11/Connection.h"

#include "gateway/serving/SendAnswer.h"
#include "net/TransportError.h"
#include "vxi11/codec/RecordMarking.h"
#include "vxi11/rpc/RecordStream.h"

#include <string>

namespace gateway {

using vxi11::rpc::RecordStream;

void Connection::log(const std::string& line) const {
    if (m_log) {
        m_log("closing connection " + std::to_string(m_id) + ": " + line);
    }
}

bool Connection::answer(const CallContext& context, vxi11::xdr::ByteView record) {
    Outcome out = m_host.handle(context, m_service, record);
    if (out.drop) {
        return false;
    }
    if (out.reply.empty()) {
        return true;
    }
    try {
        send(out);
    } catch (const net::TransportError&) {
        return false;
    }
    if (out.payload.head.capacity() > m_spare.capacity()) {
        m_spare = std::move(out.payload.head);
    }
    return true;
}

void Connection::send(const Outcome& out) {
    using vxi11::xdr::ByteView;
    const AnswerBytes& data = out.payload;
    const std::size_t pad = vxi11::xdr::padding(static_cast<std::size_t>(data.size()));
    const auto mark = vxi11::rpc::encodeRecordMark(
        {static_cast<std::uint32_t>(out.reply.size() + data.size() + pad), true});
    static constexpr std::uint8_t kZeros[3] = {};
    // A client that does not read holds only this thread; stop() ends the send.
    sendAnswer(m_socket, mark, out.reply, data, ByteView(kZeros, pad), m_waveform,
               net::Deadline::never());
}

void Connection::serve() {
    RecordStream stream(m_limits.maxRecordSize, m_limits.maxFragmentsPerRecord);
    const CallContext context{m_id, m_peer, [this] { return m_socket.peerClosed(); }, &m_spare};
    // One blocking receive per request: stop() ends it by shutting the connection down, and
    // the receive time-out (the idle time-out) when the client is silent. A record begun must
    // complete within the idle time-out, however slowly its bytes arrive.
    for (bool open = true; open;) {
        RecordStream::Result got = stream.readBlocking(m_socket, m_limits.idleTimeout);
        switch (got.status) {
        case RecordStream::Status::Record:
            open = answer(context, got.record);
            break;
        case RecordStream::Status::Idle:
            // A linked client may wait as long as it likes between calls.
            open = !stream.inProgress() && m_host.mayStayIdle(*this);
            if (!open) {
                log("idle");
            }
            break;
        case RecordStream::Status::TooSlow:
            log("a record took longer than the idle time-out");
            open = false;
            break;
        case RecordStream::Status::Malformed:
            log("record framing broken or over the size limit");
            open = false;
            break;
        case RecordStream::Status::Closed:
            open = false;
            break;
        }
    }
    shutdown();
    m_host.ended(*this);
    {
        // Closed under the lock, so stop() never shuts down a descriptor reused meanwhile.
        std::lock_guard lk(m_socketMutex);
        m_socket.close();
    }
    m_done = true;
}

void Connection::shutdown() {
    std::lock_guard lk(m_socketMutex);
    m_socket.shutdown();
}

} // namespace gateway
