#include "gateway/CoreService.h"

#include "gateway/Docmd.h"
#include "gateway/Instrument.h"
#include "vxi11/codec/GpibCommands.h"

#include <algorithm>
#include <string>
#include <variant>

namespace gateway {

using namespace vxi11;

namespace {

/// Most bytes a read with a termination character takes at once: they are looked through, so
/// they are made before the reply is sent.
constexpr std::uint64_t kTermCharPiece = 1 << 20;
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

/// The VXI-11 error a wait ends a call with: none when what it waited for came, `onTimeout`
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

void CoreService::log(const std::string& line) const {
    if (m_log) {
        m_log(line);
    }
}

// ---- the common path of calls that need the device -----------------------------------------

std::optional<std::int32_t> CoreService::admit(GuardedBus::Lock& lk, const CallContext& call,
                                               const LinkView& link, std::int32_t flagBits,
                                               std::uint32_t lockTimeout) {
    const bool wait = (flagBits & flags::kWaitLock) != 0 && lockTimeout != 0;
    const auto deadline = deadlineAfter(lockTimeout);
    for (;;) {
        // The check and the body run under the bus mutex: a lock taken meanwhile by another
        // link waits for the body to end before that link's own calls reach the device.
        lk = m_bus.lock();
        if (m_links.lockFreeFor(link.key, link.lid)) {
            return err::kNoError;
        }
        lk.unlock();
        if (!wait) {
            return err::kDeviceLockedByAnotherLink;
        }
        const auto waited =
            waitError(m_links.awaitLockFree(link.key, link.lid, deadline, call.gone),
                      err::kDeviceLockedByAnotherLink);
        if (waited != err::kNoError) {
            return waited;
        }
    }
}

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
    GuardedBus::Lock lk;
    const std::optional<std::int32_t> admitted = admit(lk, call, *link, a.flags, a.lockTimeout);
    if (!admitted) {
        return std::nullopt;
    }
    if (*admitted != err::kNoError) {
        r.error = *admitted;
        return r;
    }
    std::optional<Resp> out = body(lk, *link, r);
    lk.unlock();
    // Calls waiting for an answer look again at what this one changed.
    m_bus.changed();
    return out;
}

// ---- links ---------------------------------------------------------------------------------

std::optional<CreateLinkResp> CoreService::createLink(const CallContext& call,
                                                      const CreateLinkParms& a) {
    CreateLinkResp r;
    log("core create_link device=\"" + printable(a.device) + "\"");
    DeviceName name;
    Instrument* device = m_bus.findLan(a.device);
    if (device != nullptr) {
        name.isInterface = false;
        name.lan = device->name();
    } else {
        const auto parsed = parseDeviceName(a.device);
        if (const auto* code = std::get_if<std::int32_t>(&parsed)) {
            r.error = *code;
            return r;
        }
        name = std::get<DeviceName>(parsed);
        if (!name.isInterface) {
            const GuardedBus::Lock lk = m_bus.lock();
            device = m_bus.bus().find(name.pad, name.sad);
        }
    }
    const auto created = m_links.create(call.connection, name, device, a.device, a.lockDevice,
                                        a.lockTimeout, call.gone);
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
    return DeviceError{m_links.destroy(a.lid, call.connection)};
}

// ---- I/O -----------------------------------------------------------------------------------

std::optional<DeviceWriteResp> CoreService::write(const CallContext& call,
                                                  const DeviceWriteParms& a) {
    auto tooLong = [&](const LinkView&) {
        return a.data.size() > m_limits.maxRecvSize ? err::kParameterError : err::kNoError;
    };
    return onDevice<DeviceWriteResp>(call, a, tooLong, [&](auto&, const LinkView& link, auto& r) {
        const bool end = (a.flags & flags::kEnd) != 0;
        const std::string_view data(reinterpret_cast<const char*>(a.data.data()), a.data.size());
        const auto now = Clock::now();
        Bus& bus = m_bus.bus();
        std::vector<Instrument*> targets;
        if (link.name.isInterface) {
            bus.setAtn(false); // the data phase follows the client's own addressing
            targets = bus.listeners();
        } else if (link.device != nullptr) {
            targets.push_back(link.device);
            // A device on the bus goes to remote when addressed with REN asserted.
            if (link.name.lan.empty() && bus.ren()) {
                link.device->remote = true;
            }
        }
        if (targets.empty()) {
            r.error = err::kIoError; // nobody listens: the handshake cannot complete
            return std::optional(r);
        }
        for (Instrument* t : targets) {
            t->receive(data, end, now);
        }
        r.size = static_cast<std::uint32_t>(a.data.size());
        return std::optional(r);
    });
}

std::optional<ReadAnswer> CoreService::read(const CallContext& call, const DeviceReadParms& a) {
    return onDevice<ReadAnswer>(call, a, noRefusal,
                                [&](GuardedBus::Lock& lk, const LinkView& link, ReadAnswer& r) {
                                    if (a.requestSize == 0) {
                                        r.reason = reason::kReqCnt;
                                        return std::optional(r);
                                    }
                                    return readFrom(lk, call, link, a);
                                });
}

std::optional<ReadAnswer> CoreService::readFrom(GuardedBus::Lock& lk, const CallContext& call,
                                                const LinkView& link, const DeviceReadParms& a) {
    ReadAnswer r;
    // The I/O time-out starts once the lock is ours.
    const auto deadline = deadlineAfter(a.ioTimeout);
    Bus& bus = m_bus.bus();
    if (link.name.isInterface) {
        bus.setAtn(false);
    }
    // The source is looked up afresh on each wake: on the interface link the talker is
    // whoever the client addressed.
    auto source = [&] { return link.name.isInterface ? bus.talker() : link.device; };
    auto serialPollByte = [&] { return link.name.isInterface && bus.serialPollMode(); };
    auto ready = [&] {
        Instrument* s = source();
        return s != nullptr && (serialPollByte() || s->hasOutput(Clock::now()));
    };
    auto hint = [&]() -> std::optional<Clock::time_point> {
        Instrument* s = source();
        return s != nullptr ? s->nextOutputTime() : std::nullopt;
    };
    auto aborted = [&] { return m_links.takeAbort(link.lid); };
    const auto waited =
        waitError(m_bus.waitFor(lk, deadline, call, aborted, ready, hint), err::kIoTimeout);
    if (waited != err::kNoError) {
        if (!waited) {
            return std::nullopt;
        }
        r.error = *waited;
        return r;
    }
    Instrument* s = source();
    const auto now = Clock::now();
    if (call.spare != nullptr) {
        r.data.head = std::move(*call.spare);
    }
    if (serialPollByte()) {
        r.data.head.assign(1, s->serialPoll(now));
        r.reason = reason::kEnd | (a.requestSize == 1 ? reason::kReqCnt : 0);
        return r;
    }
    const std::uint64_t max = std::min(a.requestSize, m_limits.maxReadChunk);
    const bool termSet = (a.flags & flags::kTermChrSet) != 0;
    const auto term = static_cast<std::uint8_t>(a.termChar); // the character is the low 8 bits
    bool end = false;
    if (termSet) {
        // The character is looked for in the bytes themselves: made now, a bounded piece.
        r.data.head.resize(static_cast<std::size_t>(
            std::min({max, s->readable(now), std::uint64_t{kTermCharPiece}})));
        r.data.head.resize(s->takeOutput(r.data.head, term, end, now));
    } else {
        s->takeOutput(max, r.data, end, now);
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
        return link.name.isInterface ? err::kOperationNotSupported : err::kNoError;
    };
    return onDevice<DeviceReadStbResp>(
        call, a, onInterface,
        [&](GuardedBus::Lock& lk, const LinkView& link,
            DeviceReadStbResp& r) -> std::optional<DeviceReadStbResp> {
            if (link.device == nullptr) {
                // Nobody answers the poll: it ends at the I/O time-out.
                auto aborted = [&] { return m_links.takeAbort(link.lid); };
                const auto waited = waitError(
                    m_bus.waitFor(
                        lk, deadlineAfter(a.ioTimeout), call, aborted, [] { return false; },
                        [] { return std::optional<Clock::time_point>(); }),
                    err::kIoTimeout);
                if (!waited) {
                    return std::nullopt;
                }
                r.error = *waited;
                return r;
            }
            r.stb = link.device->serialPoll(Clock::now());
            return r;
        });
}

template <typename Act>
std::optional<DeviceError>
CoreService::generic(const CallContext& call, const DeviceGenericParms& a, bool allowedOnInterface,
                     std::optional<std::uint8_t> interfaceCommand, Act act) {
    auto refuse = [&](const LinkView& link) {
        return link.name.isInterface && !allowedOnInterface ? err::kOperationNotSupported
                                                            : err::kNoError;
    };
    return onDevice<DeviceError>(call, a, refuse, [&](auto&, const LinkView& link, auto& r) {
        if (link.name.isInterface) {
            m_bus.bus().sendCommand(*interfaceCommand, Clock::now());
        } else if (link.device == nullptr) {
            r.error = err::kIoError;
        } else {
            act(*link.device);
        }
        return std::optional(r);
    });
}

std::optional<DeviceError> CoreService::trigger(const CallContext& call,
                                                const DeviceGenericParms& a) {
    // On the interface: GET to the listeners the client addressed.
    return generic(call, a, true, vxi11::gpib::kGet, [](Instrument& d) { d.trigger(); });
}

std::optional<DeviceError> CoreService::clear(const CallContext& call,
                                              const DeviceGenericParms& a) {
    // On the interface: DCL, to every device.
    return generic(call, a, true, vxi11::gpib::kDcl, [](Instrument& d) { d.deviceClear(); });
}

std::optional<DeviceError> CoreService::remote(const CallContext& call,
                                               const DeviceGenericParms& a) {
    return generic(call, a, false, std::nullopt, [this](Instrument& d) {
        // A LAN instrument has no bus line to assert.
        if (d.name().empty()) {
            m_bus.bus().setRen(true);
        }
        d.remote = true;
    });
}

std::optional<DeviceError> CoreService::local(const CallContext& call,
                                              const DeviceGenericParms& a) {
    return generic(call, a, false, std::nullopt, [](Instrument& d) { d.remote = false; });
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
        r.error =
            m_links.tryLock(link->key, link->lid) ? err::kNoError : err::kDeviceLockedByAnotherLink;
        return r;
    }
    const auto waited = waitError(
        m_links.acquireLock(link->key, link->lid, deadlineAfter(a.lockTimeout), call.gone),
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
        return link.name.isInterface ? err::kNoError : err::kOperationNotSupported;
    };
    return onDevice<DeviceDocmdResp>(call, a, notInterface, [&](auto&, const LinkView&, auto& r) {
        runDocmd(m_bus.bus(), a, r);
        return std::optional(r);
    });
}

} // namespace gateway
