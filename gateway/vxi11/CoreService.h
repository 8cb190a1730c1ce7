#pragma once
// The bodies of the DEVICE_CORE procedures: what create_link, device_write, device_read and
// the rest do to the links, the locks and, through the device seam, the bus. No socket and no
// procedure number here:
// Dispatch decodes a call and picks the body; the body gets typed arguments and returns the
// typed result, or nothing when the connection is to end without a reply.

#include "gateway/devices/DeviceBus.h"
#include "gateway/serving/ServerConfig.h"
#include "gateway/vxi11/CallContext.h"
#include "gateway/vxi11/LinkTable.h"
#include "vxi11/codec/Messages.h"

#include <cstdint>
#include <optional>

namespace gateway {

/// device_read's results: the error, the reason and the data, part of which (a waveform) may
/// be made only as the reply is sent.
struct ReadAnswer {
    std::int32_t error = 0;
    std::int32_t reason = 0;
    AnswerBytes data;
};

class CoreService {
public:
    CoreService(LinkTable& links, DeviceBus& bus, const SimulatorLimits& limits, const Log& log)
        : m_links(links), m_bus(bus), m_limits(limits), m_log(log) {}

    /// The abort channel's port, which create_link tells the client.
    void setAbortPort(std::uint16_t port) { m_abortPort = port; }

    std::optional<vxi11::CreateLinkResp> createLink(const CallContext& call,
                                                    const vxi11::CreateLinkParms& a);
    std::optional<vxi11::DeviceError> destroyLink(const CallContext& call,
                                                  const vxi11::DeviceLink& a);
    std::optional<vxi11::DeviceWriteResp> write(const CallContext& call,
                                                const vxi11::DeviceWriteParms& a);
    std::optional<ReadAnswer> read(const CallContext& call, const vxi11::DeviceReadParms& a);
    std::optional<vxi11::DeviceReadStbResp> readStb(const CallContext& call,
                                                    const vxi11::DeviceGenericParms& a);
    std::optional<vxi11::DeviceError> trigger(const CallContext& call,
                                              const vxi11::DeviceGenericParms& a);
    std::optional<vxi11::DeviceError> clear(const CallContext& call,
                                            const vxi11::DeviceGenericParms& a);
    std::optional<vxi11::DeviceError> remote(const CallContext& call,
                                             const vxi11::DeviceGenericParms& a);
    std::optional<vxi11::DeviceError> local(const CallContext& call,
                                            const vxi11::DeviceGenericParms& a);
    std::optional<vxi11::DeviceError> lock(const CallContext& call,
                                           const vxi11::DeviceLockParms& a);
    std::optional<vxi11::DeviceError> unlock(const CallContext& call, const vxi11::DeviceLink& a);
    std::optional<vxi11::DeviceError> enableSrq(const CallContext& call,
                                                const vxi11::DeviceEnableSrqParms& a);
    std::optional<vxi11::DeviceDocmdResp> docmd(const CallContext& call,
                                                const vxi11::DeviceDocmdParms& a);

private:
    /// What every call that needs the device does: find the caller's link, apply the call's
    /// own refusal (`refuse(link)` returns an error, or 0 to go on), mark the link busy, wait
    /// until the device's lock lets it through, and run `body(turn, link, r)` in a turn on the
    /// bus that ends by `ioTimeout` ms (the I/O time-out starts once the lock is ours).
    /// Nothing from the body (or a client gone while waiting) ends the connection.
    template <typename Resp, typename Parms, typename Refuse, typename Body>
    std::optional<Resp> onDevice(const CallContext& call, const Parms& a, Refuse refuse, Body body);
    /// The calls of Device_GenericParms that act on one device (or, for trigger and clear on
    /// the interface, send a command byte to the bus).
    template <typename Act>
    std::optional<vxi11::DeviceError>
    generic(const CallContext& call, const vxi11::DeviceGenericParms& a, bool allowedOnInterface,
            std::optional<std::uint8_t> interfaceCommand, Act act);
    /// device_read's body once the device may be read.
    std::optional<ReadAnswer> readFrom(BusTurn& turn, const CallContext& call, const LinkView& link,
                                       const vxi11::DeviceReadParms& a);
    void log(const std::string& line) const;

    LinkTable& m_links;
    DeviceBus& m_bus;
    const SimulatorLimits& m_limits;
    const Log& m_log;
    std::uint16_t m_abortPort = 0;
};

/// The VXI-11 error of a bus operation that ended as `status`: none when done, `onTimeout`
/// when its time ran out; nothing when its client went away (the call gets no reply).
std::optional<std::int32_t> vxi11Error(BusStatus status, std::int32_t onTimeout);

} // namespace gateway
