#pragma once

#include <stdexcept>
#include <string>

namespace net {

/// A failure of the transport: the socket, the record framing or the RPC exchange. The
/// instrument library turns each kind into one of its error numbers.
class TransportError : public std::runtime_error {
public:
    enum class Kind {
        HostNotFound,      ///< the name does not resolve
        ConnectionRefused, ///< nobody listens there
        ConnectionLost,    ///< closed or reset by the peer, or closed on this side
        Timeout,           ///< the deadline passed
        Malformed,         ///< bytes that do not frame or decode as a reply
        CallRefused,       ///< the server answered the call with an RPC-level refusal
        System,            ///< any other operating-system failure
        Interrupted        ///< net::interrupt::trigger() ended the wait
    };

    TransportError(Kind kind, std::string detail = {});

    Kind kind() const noexcept { return m_kind; }
    /// True when only a wait ended early (time-out, interrupt): the connection is as it was,
    /// and a reply still on its way can be read or skipped later.
    bool onlyWaitEnded() const noexcept {
        return m_kind == Kind::Timeout || m_kind == Kind::Interrupted;
    }
    /// What makes the failure specific: the peer "HOST:PORT", a host name, a reason.
    const std::string& detail() const noexcept { return m_detail; }

private:
    Kind m_kind;
    std::string m_detail;
};

/// Throws the TransportError that an errno value from a socket call means.
[[noreturn]] void throwSystemError(int error, const std::string& peer);

} // namespace net
