#include "gateway/hislip/HislipChannels.h"

namespace gateway {

using Got = HislipStream::Got;
using State = HislipSession::State;
using hislip::MessageType;

void SyncChannel::run() {
    for (;;) {
        if (m_session.leaving()) {
            m_pending.reset(); // nobody reads an answer any more
        }
        if (m_pending && !deliver(*m_pending)) {
            return;
        }
        const Got got = m_stream.next();
        bool goOn = false;
        switch (got) {
        case Got::Message:
            goOn = onMessage();
            break;
        case Got::Data:
            goOn = onData();
            break;
        default:
            goOn = settle(got, true);
            break;
        }
        if (!goOn || m_session.ending()) {
            return;
        }
    }
}

bool SyncChannel::requireEstablished() {
    if (m_session.established()) {
        return true;
    }
    m_session.fatal(hislip::fatalCode::kChannelsNotEstablished,
                    "the asynchronous channel is not established");
    return false;
}

bool SyncChannel::stopped() const {
    if (m_session.ending()) {
        return true;
    }
    return m_session.clearing();
}

bool SyncChannel::waitEnds() const {
    return stopped() || m_session.leaving();
}

bool SyncChannel::onMessage() {
    switch (m_stream.header().type) {
    case MessageType::Trigger:
        return onTrigger();
    case MessageType::DeviceClearComplete:
        if (!requireEstablished()) {
            return false;
        }
        return completeClear(m_stream.header().control);
    default:
        return foreign(true);
    }
}

void SyncChannel::begin(std::uint32_t id, bool rmtDelivered) {
    bool releaseMav = false;
    bool unread = false;
    m_session.update([&](State& s) {
        // Synchronized: a message that does not say the last response arrived, sent while
        // one was expected, leaves that response unread. A delivered flag nobody expected (a
        // client that did not reset it in a clear) is harmless and passes.
        if (!s.overlapped) {
            if (rmtDelivered) {
                releaseMav = true;
            } else if (s.rmtExpected) {
                unread = true;
            }
            s.rmtExpected = false;
        }
        s.lastReceived = id;
        s.busy = true;
    });
    if (releaseMav) {
        m_session.releaseMav();
    }
    if (unread) {
        DeviceAccess& device = m_session.device();
        device.with([&](BusTurn& turn) { turn.queryInterrupted(device.device()); });
    }
    markRemote();
    if (m_pending) {
        interrupt(id);
    }
}

void SyncChannel::finishMessage() {
    m_session.update([](State& s) { s.busy = false; });
}

void SyncChannel::interrupt(std::uint32_t id) {
    // The answer awaited goes (the instrument records the query interrupted); both notices
    // carry the message that interrupted it, the asynchronous one first.
    m_pending.reset();
    DeviceAccess& device = m_session.device();
    device.with([&](BusTurn& turn) { turn.interruptQuery(device.device()); });
    m_session.sendAsync(hislip::asyncInterrupted(id));
    m_session.sendSync(hislip::interrupted(id));
}

bool SyncChannel::onData() {
    if (!requireEstablished()) {
        return false;
    }
    if (m_session.clearing()) {
        return true; // dropped until DeviceClearComplete; next() skips the payload
    }
    const hislip::Header header = m_stream.header();
    begin(header.parameter, (header.control & hislip::control::kRmtDelivered) != 0);
    const bool goOn = feedPayload(header.parameter, header.type == MessageType::DataEnd);
    finishMessage();
    return goOn;
}

bool SyncChannel::onTrigger() {
    if (!requireEstablished()) {
        return false;
    }
    if (m_session.clearing()) {
        return true;
    }
    const hislip::Header header = m_stream.header();
    begin(header.parameter, (header.control & hislip::control::kRmtDelivered) != 0);
    m_session.device().trigger([this] { return waitEnds(); });
    finishMessage();
    return !m_session.ending();
}

bool SyncChannel::feedPayload(std::uint32_t id, bool end) {
    if (m_stream.dataLeft() == 0) {
        return feedPiece(id, {}, end); // an empty DataEND still ends a message
    }
    while (m_stream.dataLeft() > 0) {
        const std::span<const std::uint8_t> data = m_stream.data();
        if (data.empty()) {
            return false; // the connection is over
        }
        const bool last = data.size() == m_stream.dataLeft();
        if (!feedPiece(id, data, end && last)) {
            return false;
        }
        if (stopped()) {
            return !m_session.ending(); // a clear: next() skips the rest
        }
    }
    return true;
}

bool SyncChannel::feedPiece(std::uint32_t id, std::span<const std::uint8_t> data, bool end) {
    DeviceAccess& device = m_session.device();
    do {
        const std::optional<std::size_t> used =
            device.feed(data, end, [this] { return waitEnds(); });
        if (!used) {
            // A clear drops the rest (next() skips it); anything else ends the session (the
            // server stops).
            return !m_session.ending() && m_session.clearing();
        }
        m_stream.taken(*used);
        data = data.subspan(*used);
        // Each program message's answer goes before the next message begins.
        if (device.answerQueued() && !deliver(id)) {
            return false;
        }
        if (stopped()) {
            return !m_session.ending();
        }
    } while (!data.empty());
    return true;
}

bool SyncChannel::deliver(std::uint32_t id) {
    const bool synchronized = !m_session.state().overlapped;
    // Synchronized, a new message (not the rest of this one) ends the wait: it interrupts.
    const DeviceAccess::Stop stop = [&] {
        return waitEnds() || (synchronized && m_stream.dataLeft() == 0 && m_stream.inputWaiting());
    };
    m_pending.reset();
    DeviceAccess& device = m_session.device();
    if (!device.awaitAnswer(stop)) {
        if (m_session.ending()) {
            return false;
        }
        if (!m_session.clearing() && device.answerQueued()) {
            m_pending = id; // still awaited: the message that came decides
        }
        return true;
    }
    return sendAnswer(id);
}

bool SyncChannel::sendAnswer(std::uint32_t id) {
    const State state = m_session.state();
    const std::uint64_t piece =
        state.clientMax > hislip::kHeaderSize ? state.clientMax - hislip::kHeaderSize : 1;
    DeviceAccess& device = m_session.device();
    for (bool first = true;; first = false) {
        // Overlapped, a piece's MessageID counts as sent before the piece leaves the
        // instrument, so that a status query meanwhile never takes it for delivered.
        const std::uint32_t messageId = state.overlapped ? m_session.update([](State& s) {
            return std::exchange(s.nextServerId, s.nextServerId + hislip::kMessageIdStep);
        })
                                                         : id;
        if (first) {
            // MAV is held from before the first piece leaves, so it never falls in between.
            m_session.holdMav();
        }
        AnswerBytes& bytes = m_piece;
        const bool end = device.take(piece, bytes);
        if (bytes.size() == 0 && !end) {
            // Another client took it meanwhile.
            m_session.update([&](State& s) {
                if (state.overlapped && s.nextServerId == messageId + hislip::kMessageIdStep) {
                    s.nextServerId = messageId;
                }
            });
            if (first) {
                m_session.releaseMav();
            }
            return true;
        }
        if (!m_session.sendData(hislip::dataHeader(end, 0, messageId, bytes.size()), bytes,
                                m_scratch)) {
            return false;
        }
        if (end) {
            m_session.update([](State& s) { s.rmtExpected = !s.overlapped; });
            return true;
        }
        if (stopped()) {
            // A clear: the message that went is whole; the rest of the answer is dropped.
            return !m_session.ending();
        }
    }
}

bool SyncChannel::completeClear(std::uint8_t features) {
    const bool overlapped = (features & hislip::control::kOverlapped) != 0;
    DeviceAccess& device = m_session.device();
    // The instrument is cleared (SDC) unless another client holds its lock: then the clear
    // is this session's alone.
    device.withIfFree([&](BusTurn& turn) { turn.clear(device.device()); });
    m_session.releaseMav();
    m_pending.reset();
    m_session.update([overlapped](State& s) {
        s.overlapped = overlapped; // either mode is granted
        s.clearing = false;
        s.rmtExpected = false;
        s.nextServerId = hislip::kFirstMessageId;
        s.lastReceived = hislip::kNoMessageId;
        s.busy = false;
    });
    return m_session.sendSync(
        hislip::deviceClearAcknowledge(overlapped ? hislip::control::kOverlapped : 0));
}

} // namespace gateway
