#include "gateway/hislip/HislipChannels.h"

#include <chrono>

namespace gateway {

using Got = HislipStream::Got;
using State = HislipSession::State;
using hislip::MessageType;
namespace control = hislip::control;

namespace {

// The requests of AsyncRemoteLocalControl are the bus's remote/local requests, in order.
static_assert(static_cast<std::uint8_t>(RemoteLocal::DisableRemote) == control::kDisableRemote);
static_assert(static_cast<std::uint8_t>(RemoteLocal::EnableRemoteGoRemoteLockLocal) ==
              control::kEnableRemoteGoRemoteLockLocal);
static_assert(static_cast<std::uint8_t>(RemoteLocal::GoLocal) == control::kGoLocal);

/// Remote/local requests kept while another client holds the lock; more are answered and
/// dropped (only a client that sends nothing else would make so many).
constexpr std::size_t kMaxDeferred = 64;

} // namespace

void AsyncChannel::run() {
    for (;;) {
        applyDeferred();
        if (!resume()) {
            return;
        }
        const Got got = m_stream.next();
        bool goOn = false;
        switch (got) {
        case Got::Message:
            goOn = onMessage();
            break;
        case Got::Data:
            // Its payload is skipped by the next read.
            goOn =
                error(false, hislip::errorCode::kUnknownType, "Data on the asynchronous channel");
            break;
        default:
            goOn = settle(got, false);
            break;
        }
        if (!goOn || m_session.ending()) {
            return;
        }
    }
}

bool AsyncChannel::stopped() const {
    return m_session.ending() || m_stream.inputWaiting();
}

bool AsyncChannel::onMessage() {
    switch (m_stream.header().type) {
    case MessageType::AsyncLock:
        return onLock();
    case MessageType::AsyncStatusQuery:
        return onStatusQuery();
    case MessageType::AsyncRemoteLocalControl:
        return onRemoteLocal();
    case MessageType::AsyncDeviceClear:
        return onDeviceClear();
    case MessageType::AsyncMaximumMessageSize:
        return onMaximumSize();
    case MessageType::AsyncLockInfo: {
        DeviceAccess& device = m_session.device();
        const LockTable::Info info = device.locks().info(device.device().key);
        return m_session.sendAsync(hislip::asyncLockInfoResponse(
            info.exclusive, static_cast<std::uint32_t>(info.holders)));
    }
    default:
        return foreign(false);
    }
}

// ---- locks -----------------------------------------------------------------------------------

bool AsyncChannel::onLock() {
    const hislip::Header header = m_stream.header();
    if (header.control != control::kLockRequest && header.control != control::kLockRelease) {
        return error(false, hislip::errorCode::kUnknownControlCode, "AsyncLock control code");
    }
    if (m_lock || m_release) {
        // The answer to a release looks like the answer to a request: one at a time.
        return error(false, hislip::errorCode::kUnidentified,
                     "AsyncLock before the last one was answered");
    }
    DeviceAccess& device = m_session.device();
    if (header.control == control::kLockRelease) {
        // Once the message it names is carried out; a MessageID never received (a client
        // that counts differently) names nothing in progress and releases at once.
        const State state = m_session.state();
        if (state.busy && state.lastReceived == header.parameter) {
            m_release = header.parameter;
            return true;
        }
        return release();
    }
    markRemote();
    const auto payload = m_stream.payload();
    LockTable::Want want;
    if (!payload.empty()) {
        want = std::string(payload.begin(), payload.end());
    }
    switch (device.locks().tryRequest(device.device().key, device.holder(), want)) {
    case LockTable::Request::Granted:
        return m_session.sendAsync(hislip::asyncLockResponse(control::kLockGranted));
    case LockTable::Request::Invalid:
        return m_session.sendAsync(hislip::asyncLockResponse(control::kLockError));
    case LockTable::Request::Busy:
        break;
    }
    if (header.parameter == 0) {
        return m_session.sendAsync(hislip::asyncLockResponse(control::kLockFailed));
    }
    m_lock = PendingLock{want, Clock::now() + std::chrono::milliseconds(header.parameter)};
    return true;
}

bool AsyncChannel::release() {
    DeviceAccess& device = m_session.device();
    std::uint8_t code = control::kLockError;
    switch (device.locks().releaseOne(device.device().key, device.holder())) {
    case LockTable::Released::Exclusive:
        code = control::kReleasedExclusive;
        break;
    case LockTable::Released::Shared:
        code = control::kReleasedShared;
        break;
    case LockTable::Released::Nothing:
        break;
    }
    return m_session.sendAsync(hislip::asyncLockResponse(code));
}

bool AsyncChannel::resume() {
    // A message that came is answered first; the wait goes on after it.
    if (m_stream.inputWaiting()) {
        return true;
    }
    DeviceAccess& device = m_session.device();
    const DeviceAccess::Stop stop = [this] { return stopped(); };
    const std::string& key = device.device().key;
    if (m_lock) {
        const WaitEnd end =
            device.locks().acquire(key, device.holder(), m_lock->want, m_lock->deadline, stop);
        if (end != WaitEnd::Ready && end != WaitEnd::Timeout) {
            return !m_session.ending();
        }
        m_lock.reset();
        return m_session.sendAsync(hislip::asyncLockResponse(
            end == WaitEnd::Ready ? control::kLockGranted : control::kLockFailed));
    }
    if (m_release) {
        const std::uint32_t id = *m_release;
        const bool carriedOut = m_session.waitUntil(
            [id](const State& s) { return !s.busy || s.lastReceived != id; }, stop);
        if (!carriedOut) {
            return !m_session.ending();
        }
        m_release.reset();
        return release();
    }
    if (!m_deferred.empty() && device.awaitFree(stop)) {
        applyDeferred();
    }
    return !m_session.ending();
}

// ---- device clear, status, size, remote/local ------------------------------------------------

bool AsyncChannel::onDeviceClear() {
    markRemote();
    DeviceAccess& device = m_session.device();
    // Async transactions end at once: a waiting lock request fails before the acknowledgement,
    // a waiting release takes effect without an answer.
    if (m_lock) {
        m_lock.reset();
        if (!m_session.sendAsync(hislip::asyncLockResponse(control::kLockFailed))) {
            return false;
        }
    }
    if (m_release) {
        m_release.reset();
        device.locks().releaseOne(device.device().key, device.holder());
    }
    m_session.update([](State& s) { s.clearing = true; });
    device.wake(); // the synchronous channel's waits end now
    const bool overlapped = m_service.config().hislip.overlapped;
    return m_session.sendAsync(
        hislip::asyncDeviceClearAcknowledge(overlapped ? control::kOverlapped : 0));
}

bool AsyncChannel::onStatusQuery() {
    const hislip::Header header = m_stream.header();
    const bool rmtDelivered = (header.control & control::kRmtDelivered) != 0;
    const std::uint32_t id = header.parameter;
    markRemote();
    // One turn on the bus, in which every change of the device's answers and of the MAV the
    // session holds is also made: a response cannot go out, nor one be queued, between judging
    // MAV and giving up the hold.
    DeviceAccess& device = m_session.device();
    const std::uint8_t stb = device.with([&](BusTurn& turn) {
        // An answer queued is a message available whatever the client has seen.
        const bool queued = turn.answerQueued(device.device());
        const bool mav = m_session.update([&](State& s) {
            bool available = false;
            bool delivered = false;
            if (s.overlapped) {
                // The client names the last response it has whole: all of them when it is
                // the last one sent.
                const std::uint32_t lastSent = s.nextServerId - hislip::kMessageIdStep;
                available = queued || (s.mav && id != lastSent);
                delivered = !available;
            } else {
                // Reported only when the query follows the last message received: one still
                // on its way would change it.
                delivered = rmtDelivered;
                available = (queued || (s.mav && !rmtDelivered)) && id == s.lastReceived;
                s.rmtExpected = s.rmtExpected && !rmtDelivered;
            }
            if (delivered && s.mav) {
                s.mav = false;
                turn.releaseMessage(device.device());
            }
            s.srqArmed = true;
            return available;
        });
        // A serial poll of the device, with MAV as this session sees it.
        std::uint8_t polled = 0;
        turn.serialPoll(device.device(), polled);
        return static_cast<std::uint8_t>((polled & ~kMavBit) | (mav ? kMavBit : 0));
    });
    return m_session.sendAsync(hislip::asyncStatusResponse(stb));
}

bool AsyncChannel::onMaximumSize() {
    const std::optional<std::uint64_t> size = hislip::decodeMaximumMessageSize(m_stream.payload());
    if (!size) {
        return error(false, hislip::errorCode::kUnidentified,
                     "AsyncMaximumMessageSize carries 8 bytes");
    }
    m_session.update([&](State& s) { s.clientMax = *size; });
    return m_session.sendAsync(
        hislip::asyncMaximumMessageSizeResponse(m_service.config().hislip.maxMessage));
}

bool AsyncChannel::onRemoteLocal() {
    const std::uint8_t code = m_stream.header().control;
    if (code > control::kGoLocal) {
        return error(false, hislip::errorCode::kUnknownControlCode,
                     "AsyncRemoteLocalControl request");
    }
    // Answered at once; carried out once no other client holds the lock.
    if (m_deferred.size() < kMaxDeferred) {
        m_deferred.push_back(code);
    }
    applyDeferred();
    return m_session.sendAsync(hislip::asyncRemoteLocalResponse());
}

void AsyncChannel::applyDeferred() {
    if (m_deferred.empty()) {
        return;
    }
    DeviceAccess& device = m_session.device();
    const bool applied = device.withIfFree([&](BusTurn& turn) {
        for (const std::uint8_t code : m_deferred) {
            turn.remoteLocal(device.device(), static_cast<RemoteLocal>(code));
        }
    });
    if (applied) {
        m_deferred.clear();
    }
}

} // namespace gateway
