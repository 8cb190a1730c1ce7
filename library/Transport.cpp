#include "library/Transport.h"

#include "library/LibraryError.h"

#include <algorithm>

namespace library {

namespace {

[[noreturn]] void notSupported() {
    throw LibraryError(liberr::kNotSupported);
}

} // namespace

std::chrono::milliseconds CallTime::effectiveMargin() const noexcept {
    return std::max(margin, std::chrono::milliseconds(timeoutMs / 20));
}

net::Deadline CallTime::ioDeadline() const noexcept {
    return timeoutMs > 0 ? net::Deadline::after(std::chrono::milliseconds(timeoutMs))
                         : net::Deadline::never();
}

net::Deadline CallTime::callDeadline() const noexcept {
    return ioDeadline().extendedBy(effectiveMargin());
}

net::Deadline CallTime::replyDeadline() const noexcept {
    const std::chrono::milliseconds granted = effectiveMargin();
    return ioDeadline().extendedBy(granted - granted / 4);
}

void TransportSession::clear(const CallTime&) {
    notSupported();
}

std::uint8_t TransportSession::readStb(const CallTime&) {
    notSupported();
}

void TransportSession::trigger(const CallTime&) {
    notSupported();
}

void TransportSession::remote(const CallTime&) {
    notSupported();
}

void TransportSession::local(const CallTime&) {
    notSupported();
}

void TransportSession::lock(const CallTime&) {
    notSupported();
}

void TransportSession::lockShared(std::string_view, const CallTime&) {
    notSupported();
}

void TransportSession::unlock(const CallTime&) {
    notSupported();
}

bool TransportSession::waitSrq(net::Deadline, const CallTime&) {
    notSupported();
}

std::int16_t TransportSession::busStatus(std::int16_t, const CallTime&) {
    notSupported();
}

void TransportSession::renControl(bool, const CallTime&) {
    notSupported();
}

void TransportSession::atnControl(bool, const CallTime&) {
    notSupported();
}

void TransportSession::sendCommand(std::span<const std::uint8_t>, const CallTime&) {
    notSupported();
}

} // namespace library
