#include "FakeBus.h"

#include "gateway/devices/Waits.h"

#include <algorithm>

namespace testfake {

using namespace gateway;

namespace {

/// Moves up to `max` bytes of the first queued answer into `out`, stopping after `term`.
void takeAnswer(FakeDevice& dev, std::uint64_t max, std::optional<std::uint8_t> term,
                AnswerBytes& out, bool& end) {
    auto& [text, withEnd] = dev.answers.front();
    std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(max, text.size()));
    if (term) {
        const std::size_t at = text.find(static_cast<char>(*term));
        n = at < n ? at + 1 : n;
    }
    out.head.assign(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(n));
    text.erase(0, n);
    end = text.empty() && withEnd;
    if (text.empty()) {
        dev.answers.pop_front();
    }
}

} // namespace

/// One turn: the bus's mutex held.
class FakeTurn final : public BusTurn {
public:
    FakeTurn(FakeBus& bus, FakeBus::Lock& lk, const Until& until)
        : m_bus(bus), m_lk(lk), m_until(until) {}

    BusStatus write(const Device& d, Holder who, std::span<const std::uint8_t> data, bool end,
                    Split split, std::size_t& taken) override {
        taken = 0;
        FakeDevice* dev = m_bus.at(d);
        std::string bytes(data.begin(), data.end());
        if (const auto failed = m_bus.failure(Op::Write)) {
            if (dev != nullptr) {
                dev->refused.push_back(bytes);
            }
            return *failed;
        }
        if (dev == nullptr) {
            return BusStatus::NoListener;
        }
        if (split == Split::AtMessageEnd) {
            // A device that parses program messages: up to the first LF.
            if (const std::size_t lf = bytes.find('\n'); lf != std::string::npos) {
                bytes.resize(lf + 1);
            }
        }
        taken = bytes.size();
        dev->written.push_back({bytes, end && taken == data.size(), who, split});
        return BusStatus::Done;
    }
    BusStatus read(const Device& d, std::uint64_t max, std::optional<std::uint8_t> term,
                   AnswerBytes& out, bool& end) override {
        end = false;
        if (const auto failed = m_bus.failure(Op::Read)) {
            return *failed;
        }
        FakeDevice* dev = m_bus.at(d);
        const BusStatus waited = waitFor([&] { return dev != nullptr && dev->readable(); });
        if (waited == BusStatus::Done) {
            takeAnswer(*dev, max, term, out, end);
        }
        return waited;
    }
    BusStatus take(const Device& d, std::uint64_t max, AnswerBytes& out, bool& end) override {
        end = false;
        FakeDevice* dev = m_bus.at(d);
        if (dev == nullptr || !dev->readable()) {
            return BusStatus::Empty;
        }
        takeAnswer(*dev, max, std::nullopt, out, end);
        return BusStatus::Done;
    }
    bool answerQueued(const Device& d) override {
        const FakeDevice* dev = m_bus.at(d);
        return dev != nullptr && !dev->answers.empty();
    }
    BusStatus awaitAnswer(const Device& d) override {
        FakeDevice* dev = m_bus.at(d);
        if (dev == nullptr) {
            return BusStatus::Empty;
        }
        const BusStatus waited = waitFor([&] { return dev->readable() || dev->answers.empty(); });
        if (waited != BusStatus::Done) {
            return waited;
        }
        return dev->readable() ? BusStatus::Done : BusStatus::Empty;
    }
    void forgetInput(const Device& /*d*/, Holder /*who*/) override {}
    bool midMessage(const Device& /*d*/, Holder /*who*/) override { return false; }

    BusStatus serialPoll(const Device& d, std::uint8_t& stb) override {
        if (const auto failed = m_bus.failure(Op::SerialPoll)) {
            return *failed;
        }
        FakeDevice* dev = m_bus.at(d);
        if (dev == nullptr) {
            // Nobody answers the poll: it ends at the deadline.
            const BusStatus waited = waitFor([] { return false; });
            return waited == BusStatus::Done ? BusStatus::Timeout : waited;
        }
        ++dev->polls;
        stb = dev->stb;
        dev->stb &= static_cast<std::uint8_t>(~0x40);
        return BusStatus::Done;
    }
    BusStatus statusByte(const Device& d, std::uint8_t& stb) override {
        const FakeDevice* dev = m_bus.at(d);
        if (dev == nullptr) {
            return BusStatus::NoListener;
        }
        stb = dev->stb;
        return BusStatus::Done;
    }
    BusStatus clear(const Device& d) override { return count(Op::Clear, d, &FakeDevice::clears); }
    BusStatus trigger(const Device& d) override {
        return count(Op::Trigger, d, &FakeDevice::triggers);
    }
    BusStatus remote(const Device& d) override {
        return count(Op::Remote, d, &FakeDevice::remotes);
    }
    BusStatus local(const Device& d) override { return count(Op::Local, d, &FakeDevice::locals); }
    BusStatus remoteLocal(const Device& d, RemoteLocal what) override {
        return act(Op::RemoteLocal, d, [&](FakeDevice& dev) { dev.remoteLocal.push_back(what); });
    }

    BusStatus sendCommand(std::span<const std::uint8_t> bytes) override {
        return onInterface(Op::SendCommand, [&](FakeInterface& i) {
            i.commands.append(bytes.begin(), bytes.end());
        });
    }
    BusStatus setAtn(bool on) override {
        return onInterface(Op::Atn, [&](FakeInterface& i) { i.atn = on; });
    }
    BusStatus setRen(bool on) override {
        return onInterface(Op::Ren, [&](FakeInterface& i) { i.ren = on; });
    }
    BusStatus ifc() override {
        return onInterface(Op::Ifc, [](FakeInterface& i) { ++i.ifcs; });
    }
    BusStatus busStatus(std::uint32_t request, std::uint16_t& value) override {
        if (const auto failed = m_bus.failure(Op::BusStatus)) {
            return *failed;
        }
        const auto it = m_bus.m_interface.busStatus.find(request);
        if (it == m_bus.m_interface.busStatus.end()) {
            return BusStatus::BadParameter;
        }
        value = it->second;
        return BusStatus::Done;
    }
    BusStatus setBusAddress(std::uint32_t address) override {
        if (address > 30) {
            return BusStatus::BadParameter;
        }
        return onInterface(Op::BusAddress, [&](FakeInterface& i) { i.busAddress = address; });
    }

private:
    /// Waits, the mutex let go meanwhile, until `ready()`, the deadline, the stop or the end.
    template <typename Ready>
    BusStatus waitFor(Ready ready) {
        for (;;) {
            if (ready()) {
                return BusStatus::Done;
            }
            if (m_bus.m_stopping) {
                return BusStatus::Gone;
            }
            if (const StopReason why = m_until.stop(); why != StopReason::None) {
                return stoppedBy(why);
            }
            const auto now = Clock::now();
            if (now >= m_until.deadline) {
                return BusStatus::Timeout;
            }
            m_bus.m_changed.wait_until(m_lk, std::min(m_until.deadline, now + kGoneCheckInterval));
        }
    }
    template <typename Act>
    BusStatus act(Op op, const Device& d, Act doIt) {
        if (const auto failed = m_bus.failure(op)) {
            return *failed;
        }
        FakeDevice* dev = m_bus.at(d);
        if (dev == nullptr) {
            return BusStatus::NoListener;
        }
        doIt(*dev);
        return BusStatus::Done;
    }
    BusStatus count(Op op, const Device& d, unsigned FakeDevice::*counter) {
        return act(op, d, [counter](FakeDevice& dev) { ++(dev.*counter); });
    }
    template <typename Act>
    BusStatus onInterface(Op op, Act doIt) {
        if (const auto failed = m_bus.failure(op)) {
            return *failed;
        }
        doIt(m_bus.m_interface);
        return BusStatus::Done;
    }

    FakeBus& m_bus;
    FakeBus::Lock& m_lk;
    const Until& m_until;
};

// ---- the bus -------------------------------------------------------------------------------

FakeBus::FakeBus() {
    for (const char* key : {kInterfaceName.data(), kDevice5, kDevice7_2, kLan}) {
        m_devices.emplace(key, FakeDevice{});
    }
}

FakeDevice* FakeBus::at(const Device& d) {
    if (d.name.isInterface) {
        return &m_devices.at(std::string(kInterfaceName));
    }
    return reinterpret_cast<FakeDevice*>(d.ref);
}

std::optional<BusStatus> FakeBus::failure(Op op) const {
    const auto it = m_failures.find(op);
    return it == m_failures.end() ? std::nullopt : std::optional(it->second);
}

Device FakeBus::find(const DeviceName& name) {
    Device d{name, name.canonical(), 0};
    const auto it = m_devices.find(d.key);
    if (!name.isInterface && name.lan.empty() && it != m_devices.end()) {
        d.ref = reinterpret_cast<std::uintptr_t>(&it->second);
    }
    return d;
}

std::optional<Device> FakeBus::findLan(std::string_view name) {
    if (!sameIgnoringCase(name, kLan)) {
        return std::nullopt;
    }
    DeviceName lan;
    lan.isInterface = false;
    lan.lan = kLan;
    return Device{lan, kLan, reinterpret_cast<std::uintptr_t>(&m_devices.at(kLan))};
}

std::optional<Device> FakeBus::defaultLan() {
    return findLan(kLan);
}

BusStatus FakeBus::hold(const Until& until, FunctionRef<void(BusTurn&)> body) {
    {
        Lock lk(m_mutex);
        if (m_stopping) {
            return BusStatus::Gone;
        }
        if (const auto failed = failure(Op::Hold)) {
            return *failed;
        }
        FakeTurn turn(*this, lk, until);
        body(turn);
    }
    m_changed.notify_all();
    return BusStatus::Done;
}

void FakeBus::wake() {
    { const Lock lk(m_mutex); }
    m_changed.notify_all();
}

void FakeBus::stop() {
    {
        const Lock lk(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
}

void FakeBus::routeServiceRequests(Listener listener, std::function<bool()> wanted) {
    m_listener = std::move(listener);
    m_wanted = std::move(wanted);
}

void FakeBus::failWith(Op op, std::optional<BusStatus> status) {
    const Lock lk(m_mutex);
    if (status) {
        m_failures[op] = *status;
    } else {
        m_failures.erase(op);
    }
}

void FakeBus::answer(const std::string& key, std::string text, bool end) {
    {
        const Lock lk(m_mutex);
        m_devices.at(key).answers.emplace_back(std::move(text), end);
    }
    m_changed.notify_all();
}

void FakeBus::holdAnswers(const std::string& key, bool held) {
    {
        const Lock lk(m_mutex);
        m_devices.at(key).answersHeld = held;
    }
    m_changed.notify_all();
}

void FakeBus::setStatusByte(const std::string& key, std::uint8_t stb) {
    const Lock lk(m_mutex);
    m_devices.at(key).stb = stb;
}

void FakeBus::setBusStatus(std::uint32_t request, std::uint16_t value) {
    const Lock lk(m_mutex);
    m_interface.busStatus[request] = value;
}

void FakeBus::pushSrq(const std::string& source) {
    // As a bus does: outside any turn, from a thread of its own.
    m_listener(source);
}

bool FakeBus::wanted() {
    return m_wanted && m_wanted();
}

FakeDevice FakeBus::device(const std::string& key) {
    const Lock lk(m_mutex);
    return m_devices.at(key);
}

FakeInterface FakeBus::iface() {
    const Lock lk(m_mutex);
    return m_interface;
}

} // namespace testfake
