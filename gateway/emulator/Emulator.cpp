#include "gateway/emulator/Emulator.h"

#include <algorithm>
#include <string>

namespace gateway::emulator {

namespace {

/// How long one bus call may wait at most, so a stop is noticed in a long handshake.
constexpr std::chrono::milliseconds kSlice{100};

/// The most a read takes from the bus at once; a byte more of room for the EOI marker.
constexpr std::size_t kReadPiece = 64 * 1024;

std::span<const std::uint8_t> bytesOf(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

} // namespace

Emulator::Emulator(EmulatedBus& bus, HostOutput& host, const StopSignal& stop,
                   EmulatorOptions options)
    : m_bus(bus), m_host(host), m_stop(stop), m_options(options), m_framer(options.flavour, *this),
      m_settings(factoryDefaults(options.flavour)), m_saved(m_settings), m_buffer(kReadPiece + 1) {}

void Emulator::powerOn() {
    m_bus.interfaceClear(timeLimit());
    m_bus.setRemoteEnable(true, timeLimit());
}

void Emulator::feed(std::span<const std::uint8_t> bytes) {
    if (m_deafUntil) {
        if (std::chrono::steady_clock::now() < *m_deafUntil) {
            return;
        }
        m_deafUntil.reset();
    }
    m_framer.feed(bytes);
}

void Emulator::hostChanged() {
    m_framer.reset();
    m_lineFailed = false;
}

void Emulator::data(std::span<const std::uint8_t> piece, bool lineEnd) {
    if (m_options.heard) {
        m_options.heard({reinterpret_cast<const char*>(piece.data()), piece.size()});
    }
    if (m_settings.controller == 0) {
        return; // a device-mode adapter would hold them for a controller; nobody asks here
    }
    const GpibAddress to = m_settings.target;
    if (!lineEnd) {
        // Once a piece found no listener, the rest of its line is lost.
        m_lineFailed = m_lineFailed || !writeAll(to, piece, false);
        return;
    }
    if (!m_lineFailed) {
        const auto eos = bytesOf(eosBytes(m_settings.eos));
        const bool end = m_settings.eoi == 1;
        if (writeAll(to, piece, end && eos.empty()) && !eos.empty()) {
            writeAll(to, eos, end);
        }
    }
    m_lineFailed = false;
    afterLine(piece);
}

void Emulator::afterLine(std::span<const std::uint8_t> line) {
    const int autoRead = m_settings.autoRead;
    if (autoRead == 0 || (autoRead == 2 && line.back() != '?')) {
        return;
    }
    // A Prologix reads an answer to END; an AR488 as a plain `++read` does.
    ReadEnd end = plainReadEnd(false);
    if (!ar488()) {
        end = ReadEnd{};
        end.atEnd = true;
    }
    readToHost(m_settings.target, end);
}

void Emulator::reply(std::string_view text) {
    std::string line;
    line.reserve(text.size() + 2);
    line.append(text).append("\r\n");
    m_host.send(bytesOf(line));
}

void Emulator::badKeyword() {
    reply(ar488() ? "Invalid parameter" : "Unrecognized command");
}

net::Deadline Emulator::timeLimit() const {
    return net::Deadline::after(std::chrono::milliseconds(m_settings.readTimeoutMs));
}

bool Emulator::handshake(const std::function<bool(net::Deadline)>& op) {
    const net::Deadline until = timeLimit();
    for (;;) {
        const net::Deadline slice = until.earlier(net::Deadline::after(kSlice));
        if (op(slice)) {
            return true;
        }
        if (until.expired()) {
            return false;
        }
        if (!slice.expired()) {
            // The bus knew at once that nobody answers; a real bus waits the time-out out.
            m_stop.sleepUntil(until);
            return false;
        }
        m_stop.check();
    }
}

bool Emulator::writeAll(GpibAddress device, std::span<const std::uint8_t> bytes, bool end) {
    while (!bytes.empty()) {
        std::size_t taken = 0;
        if (!handshake([&](net::Deadline deadline) {
                taken = m_bus.write(device, bytes, end, deadline);
                return taken > 0;
            })) {
            return false;
        }
        bytes = bytes.subspan(taken); // the per-byte time-out starts again
    }
    return true;
}

void Emulator::readToHost(GpibAddress device, const ReadEnd& end) {
    const std::span<std::uint8_t> room(m_buffer.data(), kReadPiece);
    std::string tail; // the stream's last bytes, for an end sequence that spans two pieces
    net::Deadline until = timeLimit();
    for (;;) {
        const net::Deadline slice = until.earlier(net::Deadline::after(kSlice));
        const BusRead got = m_bus.read(device, room, end.byte, slice);
        if (got.count > 0) {
            std::size_t count = got.count;
            if (got.end && m_settings.eotEnable == 1) {
                m_buffer[count++] = static_cast<std::uint8_t>(m_settings.eotChar);
            }
            m_host.send(std::span(m_buffer.data(), count));
            if (got.end && end.atEnd) {
                return;
            }
            const std::size_t keep = std::min<std::size_t>(got.count, 3);
            tail.append(reinterpret_cast<const char*>(&m_buffer[got.count - keep]), keep);
            if (tail.size() > 3) {
                tail.erase(0, tail.size() - 3);
            }
            if (end.byte && m_buffer[got.count - 1] == *end.byte && tail.ends_with(end.sequence)) {
                return;
            }
            m_stop.check();
            until = timeLimit();
            continue;
        }
        if (until.expired()) {
            return; // a time-out ends the read without a word
        }
        if (!slice.expired()) {
            m_stop.sleepUntil(until);
            return;
        }
        m_stop.check();
    }
}

} // namespace gateway::emulator
