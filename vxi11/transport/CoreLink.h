#pragma once

#include "vxi11/codec/Xdr.h"
#include "vxi11/rpc/RpcClient.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace vxi11 {

using net::Deadline;

struct DeviceWriteResp;
struct DeviceRemoteFunc;

/// What device_read brought into the caller's memory.
struct ReadInto {
    std::int32_t error = 0;
    std::int32_t reason = 0; ///< reason bits (REQCNT, CHR, END)
    std::size_t size = 0;    ///< bytes placed at the start of the memory given
};

/// Time limits of one core call: what the gateway is told, and how long the client waits.
struct CallTiming {
    std::uint32_t ioTimeout = 0;   ///< ms, sent to the gateway
    std::uint32_t lockTimeout = 0; ///< ms, sent to the gateway (with the wait flag)
    Deadline replyBy = Deadline::never();
    /// The wait flag: without it a device locked by another link is refused (11) at once.
    bool waitLock = true;
};

/// Smallest and largest write piece: a gateway must take 1024 bytes, and some announce
/// 0xFFFFFFFF, which no one should take at its word.
inline constexpr std::uint32_t kMinWritePiece = 1024;
inline constexpr std::uint32_t kMaxWritePiece = 1u << 20;

/// One VXI-11 link on the core channel: create_link and the calls on the link's id.
/// Calls that only return an error code throw LibraryError for a non-zero code (the gateway's
/// number kept); write and read return their results, since a failed transfer still reports
/// how much got through, except that they too throw when refused for a lock held by another
/// link (nothing got through then). Transport failures throw net::TransportError.
class CoreLink {
public:
    /// Creates the link to `device` over `connection`; throws LibraryError.
    static CoreLink create(net::TcpConnection connection, const std::string& device,
                           std::int32_t clientId, Deadline deadline);

    std::int32_t lid() const noexcept { return m_lid; }
    /// maxRecvSize as the gateway gave it, clamped to [kMinWritePiece, kMaxWritePiece].
    std::uint32_t writePiece() const noexcept { return m_writePiece; }
    std::uint16_t abortPort() const noexcept { return m_abortPort; }
    bool isOpen() const noexcept { return m_rpc.isOpen(); }
    /// Our own address on the link's connection (network byte order), where a gateway that
    /// reaches us can call back.
    /// The local end of the link's connection, and the gateway's end.
    net::IpAddress localAddress() const { return m_rpc.connection().localAddress(); }
    const net::IpAddress& peerAddress() const noexcept { return m_rpc.connection().peerAddress(); }

    /// device_write of `data`, which goes to the socket from where it lies.
    DeviceWriteResp write(xdr::ByteView data, bool end, const CallTiming& t);
    /// device_read of at most `into.size()` bytes (at most 4 GiB - 1), received straight
    /// into `into`.
    ReadInto read(std::span<std::uint8_t> into, std::optional<std::uint8_t> termChar,
                  const CallTiming& t);
    std::uint8_t readStb(const CallTiming& t);
    void trigger(const CallTiming& t);
    void clear(const CallTiming& t);
    void remote(const CallTiming& t);
    void local(const CallTiming& t);
    void lock(const CallTiming& t);
    void unlock(const CallTiming& t);
    /// device_docmd with big-endian elements of `datasize` bytes; returns data_out.
    xdr::Bytes docmd(std::int32_t cmd, std::int32_t datasize, xdr::Bytes dataIn,
                     const CallTiming& t);
    /// create_intr_chan: asks the gateway to connect back to `remote`.
    void createIntrChan(const DeviceRemoteFunc& remote, Deadline deadline);
    /// destroy_intr_chan.
    void destroyIntrChan(Deadline deadline);
    /// device_enable_srq: `handle` comes back with each device_intr_srq while enabled.
    void enableSrq(bool enable, const xdr::Bytes& handle, Deadline deadline);
    /// destroy_link; throws LibraryError.
    void destroy(Deadline deadline);
    /// Closes the connection without telling the gateway (it drops the link with it).
    void close() noexcept { m_rpc.close(); }

private:
    CoreLink() = default;
    rpc::RpcClient m_rpc;
    std::int32_t m_lid = 0;
    std::uint32_t m_writePiece = kMinWritePiece;
    std::uint16_t m_abortPort = 0;
};

/// Sends device_abort for `lid` on the abort channel at `address`:`port`, so a call the gateway
/// is still working on ends; throws LibraryError.
void abortLink(const net::IpAddress& address, std::uint16_t port, std::int32_t lid,
               Deadline deadline, net::SocketOps& ops = net::SocketOps::system());

} // namespace vxi11
