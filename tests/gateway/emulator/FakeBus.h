#pragma once
// A scripted GPIB bus for the emulator's tests, and an adapter over it fed by hand: devices at
// chosen addresses with answers, a talker that trickles or never sends END, one with a
// secondary address, one that requests service.

#include "gateway/emulator/Emulator.h"

#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace gateway::emulator::test {

/// One scripted device.
struct FakeDevice {
    std::map<std::string, std::string> replies; ///< message (terminator trimmed) -> answer
    std::string output;                         ///< what it sends when addressed to talk
    bool endWithEoi = true;                     ///< END with the last byte of its output
    std::chrono::milliseconds trickle{0};       ///< one byte per this much, when not 0
    std::uint8_t status = 0;                    ///< its status byte
    std::string received;                       ///< every byte it took
    std::vector<std::size_t> endsAt;            ///< offsets in `received` just after an END
    std::size_t answered = 0;                   ///< where the message under way starts
};

/// The bus. The adapter's thread drives it; tests look at it once the adapter is done.
class FakeBus final : public EmulatedBus {
public:
    /// Devices by (primary, secondary or -1).
    std::map<std::pair<int, int>, FakeDevice> devices;
    std::vector<std::string> log; ///< the bus operations other than reads and writes
    bool ren = false;
    int reads = 0; ///< reads begun by the adapter, answered or not

    FakeDevice& at(int pad, int sad = -1) { return devices[{pad, sad}]; }
    FakeDevice* find(GpibAddress a) {
        const auto it = devices.find({a.primary, a.secondary.value_or(-1)});
        return it == devices.end() ? nullptr : &it->second;
    }

    std::size_t write(GpibAddress a, std::span<const std::uint8_t> bytes, bool end,
                      net::Deadline) override {
        FakeDevice* d = find(a);
        if (d == nullptr) {
            return 0;
        }
        d->received.append(bytes.begin(), bytes.end());
        if (end) {
            d->endsAt.push_back(d->received.size());
        }
        if (end || d->received.back() == '\n') {
            answer(*d);
        }
        return bytes.size();
    }

    BusRead read(GpibAddress a, std::span<std::uint8_t> out, std::optional<std::uint8_t> stop,
                 net::Deadline deadline) override {
        ++reads;
        FakeDevice* d = find(a);
        if (d == nullptr) {
            return {};
        }
        if (d->output.empty() || d->trickle > deadline.remaining()) {
            std::this_thread::sleep_for(deadline.remaining());
            return {};
        }
        std::size_t n = d->trickle.count() > 0 ? 1 : std::min(out.size(), d->output.size());
        std::this_thread::sleep_for(d->trickle);
        if (stop) {
            n = std::min(n, d->output.find(static_cast<char>(*stop)) + 1);
        }
        std::copy_n(d->output.begin(), n, out.begin());
        d->output.erase(0, n);
        return {n, d->output.empty() && d->endWithEoi};
    }

    std::optional<std::uint8_t> serialPoll(GpibAddress a, net::Deadline) override {
        FakeDevice* d = find(a);
        if (d == nullptr) {
            return std::nullopt;
        }
        const std::uint8_t status = d->status;
        d->status &= ~0x40; // polled: the request is taken
        return status;
    }

    bool clear(GpibAddress a, net::Deadline) override { return logged("sdc", a); }
    bool trigger(GpibAddress a, net::Deadline) override { return logged("get", a); }
    bool goToLocal(GpibAddress a, net::Deadline) override { return logged("gtl", a); }
    bool localLockout(std::optional<GpibAddress> a, net::Deadline) override {
        return a ? logged("llo", *a) : (log.push_back("llo"), true);
    }
    bool clearAll(net::Deadline) override { return log.push_back("dcl"), true; }
    void interfaceClear(net::Deadline) override {
        log.push_back("ifc");
        m_listeners = 0;
    }
    void setRemoteEnable(bool on, net::Deadline) override {
        ren = on;
        log.push_back(on ? "ren 1" : "ren 0");
    }
    bool remoteEnable(net::Deadline) override { return ren; }
    bool serviceRequest(net::Deadline) override {
        for (const auto& [key, d] : devices) {
            if ((d.status & 0x40) != 0) {
                return true;
            }
        }
        return false;
    }
    bool command(std::span<const std::uint8_t> bytes, net::Deadline) override {
        std::string text = "cmd";
        for (const std::uint8_t b : bytes) {
            text += " " + std::to_string(b);
            if (b == 0x3F) {
                m_listeners = 0;
            } else if (b >= 0x20 && b <= 0x3E) {
                m_primary = b - 0x20;
                m_listeners += devices.count({m_primary, -1});
            } else if (b >= 0x60 && b <= 0x7E) {
                m_listeners += devices.count({m_primary, b - 0x60});
            }
        }
        if (bytes.size() < 8) { // the listener search's every-secondary sweep is not logged
            log.push_back(text);
        }
        return true;
    }
    void releaseAtn(net::Deadline) override {}
    bool notDataAccepted(net::Deadline) override { return m_listeners > 0; }

private:
    bool logged(const char* what, GpibAddress a) {
        if (find(a) == nullptr) {
            return false;
        }
        log.push_back(std::string(what) + " " + std::to_string(a.primary) +
                      (a.secondary ? "," + std::to_string(*a.secondary) : ""));
        return true;
    }
    static void answer(FakeDevice& d) {
        std::string message = d.received.substr(d.answered);
        d.answered = d.received.size();
        while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) {
            message.pop_back();
        }
        if (const auto it = d.replies.find(message); it != d.replies.end()) {
            d.output += it->second;
        }
    }

    int m_primary = -1;
    int m_listeners = 0;
};

/// The host's end: every byte the adapter sent, and in how many sends.
class Recorder final : public HostOutput {
public:
    std::string bytes;
    int sends = 0;
    void send(std::span<const std::uint8_t> b) override {
        bytes.append(b.begin(), b.end());
        ++sends;
    }
};

/// An adapter of one flavour over a FakeBus, fed by the test itself.
struct Adapter {
    explicit Adapter(Flavour flavour, bool overNetwork = false,
                     std::chrono::milliseconds resetPause = {})
        : emulator(bus, host, stop, EmulatorOptions{flavour, overNetwork, 0, resetPause}) {}

    /// Feeds `text` and returns what the adapter sent back meanwhile.
    std::string operator()(std::string_view text) {
        host.bytes.clear();
        emulator.feed({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
        return host.bytes;
    }

    FakeBus bus;
    Recorder host;
    StopSignal stop;
    Emulator emulator;
};

} // namespace gateway::emulator::test
