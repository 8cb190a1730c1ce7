#include "gateway/emulator/SeamBus.h"

#include "vxi11/codec/DocmdMessages.h"

#include <algorithm>
#include <array>

namespace gateway::emulator {

namespace {

constexpr std::uint8_t kUnl = 0x3F;
constexpr std::uint8_t kListenBase = 0x20;
constexpr std::uint8_t kSecondaryBase = 0x60;
constexpr std::uint8_t kLlo = 0x11;
constexpr std::uint8_t kDcl = 0x14;

/// Copies what a read took into `out`, a made stretch included.
std::size_t copyOut(const AnswerBytes& got, std::span<std::uint8_t> out) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(got.size(), out.size()));
    const std::size_t head = std::min(n, got.head.size());
    std::copy_n(got.head.begin(), head, out.begin());
    const std::size_t made =
        static_cast<std::size_t>(std::min<std::uint64_t>(n - head, got.madeLength));
    if (made > 0) {
        got.maker(got.madeOffset, out.subspan(head, made));
    }
    std::copy_n(got.tail.begin(), n - head - made,
                out.begin() + static_cast<std::ptrdiff_t>(head + made));
    return n;
}

} // namespace

Device SeamBus::device(GpibAddress address) {
    DeviceName name;
    name.isInterface = false;
    name.pad = address.primary;
    name.sad = address.secondary;
    return m_bus.find(name);
}

bool SeamBus::turn(net::Deadline deadline, FunctionRef<void(BusTurn&)> act) {
    const auto now = Clock::now();
    const Until until{deadline.isNever() ? now + kFarOff : now + deadline.remaining()};
    return m_bus.hold(until, act) == BusStatus::Done;
}

std::size_t SeamBus::write(GpibAddress address, std::span<const std::uint8_t> bytes, bool end,
                           net::Deadline deadline) {
    const Device d = device(address);
    std::size_t taken = 0;
    turn(deadline, [&](BusTurn& t) { t.write(d, m_who, bytes, end, Split::None, taken); });
    return taken;
}

BusRead SeamBus::read(GpibAddress address, std::span<std::uint8_t> out,
                      std::optional<std::uint8_t> stopByte, net::Deadline deadline) {
    const Device d = device(address);
    BusRead got;
    AnswerBytes bytes;
    turn(deadline, [&](BusTurn& t) {
        bool end = false;
        if (t.read(d, out.size(), stopByte, bytes, end) == BusStatus::Done) {
            got.count = copyOut(bytes, out);
            got.end = end;
        }
    });
    return got;
}

std::optional<std::uint8_t> SeamBus::serialPoll(GpibAddress address, net::Deadline deadline) {
    const Device d = device(address);
    std::optional<std::uint8_t> stb;
    turn(deadline, [&](BusTurn& t) {
        std::uint8_t byte = 0;
        if (t.serialPoll(d, byte) == BusStatus::Done) {
            stb = byte;
        }
    });
    return stb;
}

bool SeamBus::clear(GpibAddress address, net::Deadline deadline) {
    const Device d = device(address);
    bool done = false;
    turn(deadline, [&](BusTurn& t) { done = t.clear(d) == BusStatus::Done; });
    return done;
}

bool SeamBus::trigger(GpibAddress address, net::Deadline deadline) {
    const Device d = device(address);
    bool done = false;
    turn(deadline, [&](BusTurn& t) { done = t.trigger(d) == BusStatus::Done; });
    return done;
}

bool SeamBus::goToLocal(GpibAddress address, net::Deadline deadline) {
    const Device d = device(address);
    bool done = false;
    turn(deadline, [&](BusTurn& t) { done = t.local(d) == BusStatus::Done; });
    return done;
}

bool SeamBus::localLockout(std::optional<GpibAddress> address, net::Deadline deadline) {
    if (address && !device(*address).present()) {
        return false;
    }
    std::vector<std::uint8_t> bytes;
    if (address) {
        bytes = {kUnl, static_cast<std::uint8_t>(kListenBase + address->primary)};
        if (address->secondary) {
            bytes.push_back(static_cast<std::uint8_t>(kSecondaryBase + *address->secondary));
        }
    }
    bytes.push_back(kLlo);
    return command(bytes, deadline);
}

bool SeamBus::clearAll(net::Deadline deadline) {
    const std::array<std::uint8_t, 1> dcl{kDcl};
    return command(dcl, deadline);
}

void SeamBus::interfaceClear(net::Deadline deadline) {
    turn(deadline, [](BusTurn& t) { t.ifc(); });
}

void SeamBus::setRemoteEnable(bool on, net::Deadline deadline) {
    turn(deadline, [on](BusTurn& t) { t.setRen(on); });
}

bool SeamBus::line(std::uint32_t request, net::Deadline deadline) {
    std::uint16_t value = 0;
    turn(deadline, [&](BusTurn& t) { t.busStatus(request, value); });
    return value != 0;
}

bool SeamBus::remoteEnable(net::Deadline deadline) {
    return line(vxi11::busstatus::kRemote, deadline);
}

bool SeamBus::serviceRequest(net::Deadline deadline) {
    return line(vxi11::busstatus::kSrq, deadline);
}

bool SeamBus::command(std::span<const std::uint8_t> bytes, net::Deadline deadline) {
    bool done = false;
    turn(deadline, [&](BusTurn& t) { done = t.sendCommand(bytes) == BusStatus::Done; });
    return done;
}

void SeamBus::releaseAtn(net::Deadline deadline) {
    turn(deadline, [](BusTurn& t) { t.setAtn(false); });
}

bool SeamBus::notDataAccepted(net::Deadline deadline) {
    return line(vxi11::busstatus::kNdac, deadline);
}

} // namespace gateway::emulator
