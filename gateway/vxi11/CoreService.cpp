#include "gateway/vxi11/CoreService.h"

#include "gateway/vxi11/Docmd.h"
#include "vxi11/codec/GpibCommands.h"

#include <algorithm>
#include <string>
#include <variant>

namespace gateway {

using namespace vxi11;

namespace {

/// How much of a device name from the wire the log shows.
constexpr std::size_t kShownNameLength = 40;

/// Printable form of a name from the wire, for the log only.
std::string printable(const std::string& name) {
    std::string shown;
    for (char ch : name.substr(0, kShownNameLength)) {
        shown += ch >= ' ' && ch <= '~' ? ch : '?';
    }
    return shown;
}

std::int32_t noRefusal(const LinkView&) {
    return err::kNoError;
}

/// The VXI-11 error a wait for a lock ends a call with: none when the lock came, `onTimeout`
/// when its time ran out, 23 when it was aborted; nothing when the client went away (or the
/// server stops), so the call gets no reply.
std::optional<std::int32_t> waitError(WaitEnd end, std::int32_t onTimeout) {
    switch (end) {
    case WaitEnd::Ready:
        return err::kNoError;
    case WaitEnd::Timeout:
        return onTimeout;
    case WaitEnd::Aborted:
        return err::kAbort;
    case WaitEnd::Gone:
        break;
    }
    return std::nullopt;
}

} // namespace

std::optional<std::int32_t> vxi11Error(BusStatus status, std::int32_t onTimeout) {
    switch (status) {
    case BusStatus::Done:
    case BusStatus::Empty:
        return err::kNoError;
    case BusStatus::Timeout:
        return onTimeout;
    case BusStatus::Aborted:
        return err::kAbort;
    case BusStatus::Gone:
        return std::nullopt;
    case BusStatus::NotSupported:
        return err::kOperationNotSupported;
    case BusStatus::BadParameter:
        return err::kParameterError;
    case BusStatus::NoListener:
    case BusStatus::Busy:
    case BusStatus::Lost:
        break;
    }
    return err::kIoError;
}

void CoreService::log(const std::string& line) const {
    if (m_log) {
        m_log(line);
    }
}

// ---- the common path of calls that need the device -----------------------------------------

template <typename Resp, typename Parms, typename Refuse, typename Body>
std::optional<Resp> CoreService::onDevice(const CallContext& call, const Parms& a, Refuse refuse,
                                          Body body) {
    Resp r;
    const std::optional<LinkView> link = m_links.find(a.lid, call.connection);
    if (!link) {
        r.error = err::kInvalidLinkIdentifier;
        return r;
    }
    if (const std::int32_t refused = refuse(*link); refused != err::kNoError) {
        r.error = refused;
        return r;
    }
    const LinkTable::Call busy(m_links, link->lid);
    const bool wait = (a.flags & flags::kWaitLock) != 0 && a.lockTimeout != 0;
    const auto lockDeadline = deadlineAfter(a.lockTimeout);
    const auto stop = [&] {
        if (m_links.takeAbort(link->lid)) {
            return StopReason::Aborted;
        }
        return call.gone() ? StopReason::Gone : StopReason::None;
    };
    for (;;) {
        // The check and the body share one turn on the bus: a lock taken meanwhile by another
        // link waits for the body to end before that link's own calls reach the device.
        bool locked = false;
        std::optional<Resp> out;
        const Until until{deadlineAfter(a.ioTimeout), stop};
        const BusStatus held = m_bus.hold(until, [&](BusTurn& turn) {
            locked = !m_links.lockFreeFor(link->device.key, link->lid);
            if (!locked) {
                out = body(turn, *link, r);
            }
        });
        if (held != BusStatus::Done) {
            const auto error = vxi11Error(held, err::kIoTimeout);
            if (!error) {
                return std::nullopt;
            }
            r.error = *error;
            return r;
        }
        if (!locked) {
            return out;
        }
        if (!wait) {
            r.error = err::kDeviceLockedByAnotherLink;
            return r;
        }
        const auto waited =
            waitError(m_links.awaitLockFree(link->device.key, link->lid, lockDeadline, call.gone),
                      err::kDeviceLockedByAnotherLink);
        if (waited != err::kNoError) {
            if (!waited) {
                return std::nullopt;
            }
            r.error = *waited;
            return r;
        }
    }
}

// ---- links ---------------------------------------------------------------------------------

std::optional<CreateLinkResp> CoreService::createLink(const CallContext& call,
                                                      const CreateLinkParms& a) {
    CreateLinkResp r;
    log("core create_link device=\"" + printable(a.device) + "\"");
    std::optional<Device> device = m_bus.findLan(a.device);
    if (!device) {
        const auto parsed = parseDeviceName(a.device);
        if (const auto* code = std::get_if<std::int32_t>(&parsed)) {
            r.error = *code;
            return r;
        }
        // A valid address with nobody there is linked all the same, as gateways do: its
        // calls fail as the bus makes them fail.
        device = m_bus.find(std::get<DeviceName>(parsed));
    }
    const auto created =
        m_links.create(call.connection, *device, a.device, a.lockDevice, a.lockTimeout, call.gone);
    if (!created) {
        return std::nullopt;
    }
    r.error = created->error;
    if (r.error == err::kNoError) {
        r.lid = created->lid;
        r.abortPort = m_abortPort;
        r.maxRecvSize = m_limits.maxRecvSize;
    }
    return r;
}

std::optional<DeviceError> CoreService::destroyLink(const CallContext& call, const DeviceLink& a) {
    const std::optional<LinkView> link = m_links.find(a.lid, call.connection);
    const std::int32_t error = m_links.destroy(a.lid, call.connection);
    if (link && error == err::kNoError) {
        // What the link had sent of an unfinished message goes with it.
        const Until until{Clock::now() + kFarOff};
        m_bus.hold(until, [&](BusTurn& turn) {
            turn.forgetInput(link->device, static_cast<Holder>(link->lid));
        });
    }
    return DeviceError{error};
}

// ---- I/O -----------------------------------------------------------------------------------

std::optional<DeviceWriteResp> CoreService::write(const CallContext& call,
                                                  const DeviceWriteParms& a) {
    auto tooLong = [&](const LinkView&) {
        return a.data.size() > m_limits.maxRecvSize ? err::kParameterError : err::kNoError;
    };
    return onDevice<DeviceWriteResp>(call, a, tooLong,
                                     [&](BusTurn& turn, const LinkView& link,
                                         DeviceWriteResp& r) -> std::optional<DeviceWriteResp> {
                                         const bool end = (a.flags & flags::kEnd) != 0;
                                         std::size_t taken = 0;
                                         const auto error = vxi11Error(
                                             turn.write(link.device, static_cast<Holder>(link.lid),
                                                        a.data, end, Split::None, taken),
                                             err::kIoTimeout);
                                         if (!error) {
                                             return std::nullopt;
                                         }
                                         r.error = *error;
                                         r.size = static_cast<std::uint32_t>(taken);
                                         return r;
                                     });
}

std::optional<ReadAnswer> CoreService::read(const CallContext& call, const DeviceReadParms& a) {
    return onDevice<ReadAnswer>(call, a, noRefusal,
                                [&](BusTurn& turn, const LinkView& link, ReadAnswer& r) {
                                    if (a.requestSize == 0) {
                                        r.reason = reason::kReqCnt;
                                        return std::optional(r);
                                    }
                                    return readFrom(turn, call, link, a);
                                });
}

std::optional<ReadAnswer> CoreService::readFrom(BusTurn& turn, const CallContext& call,
                                                const LinkView& link, const DeviceReadParms& a) {
    ReadAnswer r;
    if (call.spare != nullptr) {
        r.data.head = std::move(*call.spare);
    }
    const std::uint64_t max = std::min(a.requestSize, m_limits.maxReadChunk);
    const bool termSet = (a.flags & flags::kTermChrSet) != 0;
    const auto term = static_cast<std::uint8_t>(a.termChar); // the character is the low 8 bits
    bool end = false;
    const BusStatus got =
        turn.read(link.device, max, termSet ? std::optional(term) : std::nullopt, r.data, end);
    if (got != BusStatus::Done) {
        const auto error = vxi11Error(got, err::kIoTimeout);
        if (!error) {
            return std::nullopt;
        }
        r.data.reset();
        r.error = *error;
        return r;
    }
    const std::uint64_t size = r.data.size();
    if (end) {
        r.reason |= reason::kEnd;
    }
    if (termSet && size > 0 && r.data.at(size - 1) == term) {
        r.reason |= reason::kChr;
    }
    if (size == a.requestSize) {
        r.reason |= reason::kReqCnt;
    }
    return r;
}

std::optional<DeviceReadStbResp> CoreService::readStb(const CallContext& call,
                                                      const DeviceGenericParms& a) {
    auto onInterface = [](const LinkView& link) {
        return link.device.name.isInterface ? err::kOperationNotSupported : err::kNoError;
    };
    return onDevice<DeviceReadStbResp>(
        call, a, onInterface,
        [&](BusTurn& turn, const LinkView& link,
            DeviceReadStbResp& r) -> std::optional<DeviceReadStbResp> {
            std::uint8_t stb = 0;
            const auto error = vxi11Error(turn.serialPoll(link.device, stb), err::kIoTimeout);
            if (!error) {
                return std::nullopt;
            }
            r.error = *error;
            r.stb = stb;
            return r;
        });
}

template <typename Act>
std::optional<DeviceError>
CoreService::generic(const CallContext& call, const DeviceGenericParms& a, bool allowedOnInterface,
                     std::optional<std::uint8_t> interfaceCommand, Act act) {
    auto refuse = [&](const LinkView& link) {
        return link.device.name.isInterface && !allowedOnInterface ? err::kOperationNotSupported
                                                                   : err::kNoError;
    };
    return onDevice<DeviceError>(
        call, a, refuse,
        [&](BusTurn& turn, const LinkView& link, DeviceError& r) -> std::optional<DeviceError> {
            BusStatus done = BusStatus::Done;
            if (link.device.name.isInterface) {
                const std::uint8_t byte = *interfaceCommand;
                done = turn.sendCommand(std::span(&byte, 1));
            } else {
                done = act(turn, link.device);
            }
            const auto error = vxi11Error(done, err::kIoTimeout);
            if (!error) {
                return std::nullopt;
            }
            r.error = *error;
            return r;
        });
}

std::optional<DeviceError> CoreService::trigger(const CallContext& call,
                                                const DeviceGenericParms& a) {
    // On the interface: GET to the listeners the client addressed.
    return generic(call, a, true, vxi11::gpib::kGet,
                   [](BusTurn& turn, const Device& d) { return turn.trigger(d); });
}

std::optional<DeviceError> CoreService::clear(const CallContext& call,
                                              const DeviceGenericParms& a) {
    // On the interface: DCL, to every device.
    return generic(call, a, true, vxi11::gpib::kDcl,
                   [](BusTurn& turn, const Device& d) { return turn.clear(d); });
}

std::optional<DeviceError> CoreService::remote(const CallContext& call,
                                               const DeviceGenericParms& a) {
    return generic(call, a, false, std::nullopt,
                   [](BusTurn& turn, const Device& d) { return turn.remote(d); });
}

std::optional<DeviceError> CoreService::local(const CallContext& call,
                                              const DeviceGenericParms& a) {
    return generic(call, a, false, std::nullopt,
                   [](BusTurn& turn, const Device& d) { return turn.local(d); });
}

// ---- locks, SRQ and gateway commands -------------------------------------------------------

std::optional<DeviceError> CoreService::lock(const CallContext& call, const DeviceLockParms& a) {
    DeviceError r;
    const std::optional<LinkView> link = m_links.find(a.lid, call.connection);
    if (!link) {
        r.error = err::kInvalidLinkIdentifier;
        return r;
    }
    if (m_links.holdsLock(link->lid)) {
        r.error = err::kDeviceLockedByAnotherLink; // a second lock by the holder
        return r;
    }
    const LinkTable::Call busy(m_links, link->lid);
    if ((a.flags & flags::kWaitLock) == 0 || a.lockTimeout == 0) {
        r.error = m_links.tryLock(link->device.key, link->lid) ? err::kNoError
                                                               : err::kDeviceLockedByAnotherLink;
        return r;
    }
    const auto waited = waitError(
        m_links.acquireLock(link->device.key, link->lid, deadlineAfter(a.lockTimeout), call.gone),
        err::kDeviceLockedByAnotherLink);
    if (!waited) {
        return std::nullopt;
    }
    r.error = *waited;
    return r;
}

std::optional<DeviceError> CoreService::unlock(const CallContext& call, const DeviceLink& a) {
    return DeviceError{m_links.unlock(a.lid, call.connection)};
}

std::optional<DeviceError> CoreService::enableSrq(const CallContext& call,
                                                  const DeviceEnableSrqParms& a) {
    return DeviceError{m_links.enableSrq(a.lid, call.connection, a.enable, a.handle)};
}

std::optional<DeviceDocmdResp> CoreService::docmd(const CallContext& call,
                                                  const DeviceDocmdParms& a) {
    auto notInterface = [](const LinkView& link) {
        return link.device.name.isInterface ? err::kNoError : err::kOperationNotSupported;
    };
    return onDevice<DeviceDocmdResp>(
        call, a, notInterface,
        [&](BusTurn& turn, const LinkView&, DeviceDocmdResp& r) -> std::optional<DeviceDocmdResp> {
            if (!runDocmd(turn, a, r)) {
                return std::nullopt;
            }
            return r;
        });
}

} // namespace gateway
