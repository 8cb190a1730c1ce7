#pragma once
// The window on the VXI-11 library, over loopback to an in-process gateway simulator on free
// ports. Every call the library sends is recorded, so a test can look at what reached the
// gateway. Tests that include this link siclquill_gateway and siclquill_vxi11.

#include "support/LibraryWindowFixture.h"
#include "support/LoopbackSimulator.h"

#include "gateway/Simulator.h"
#include "lan/LanLibrary.h"
#include "net/SocketOps.h"
#include "vxi11/codec/IoMessages.h"
#include "vxi11/codec/Rpc.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

/// The plain socket calls, with a copy of every record sent kept for the test.
class RecordingSocketOps final : public net::SocketOps {
public:
    ssize_t send(int fd, const void* data, std::size_t length) override {
        const ssize_t sent = SocketOps::send(fd, data, length);
        if (sent > 0) {
            std::lock_guard lock(m_mutex);
            const auto* bytes = static_cast<const std::uint8_t*>(data);
            m_sent.emplace_back(bytes, bytes + sent);
        }
        return sent;
    }
    /// A record sent in pieces (device_write's header and data) is kept as one, like the rest.
    ssize_t sendv(int fd, const iovec* pieces, int count) override {
        const ssize_t sent = SocketOps::sendv(fd, pieces, count);
        std::vector<std::uint8_t> whole;
        for (int i = 0;
             i < count && whole.size() < static_cast<std::size_t>(std::max<ssize_t>(sent, 0));
             ++i) {
            const auto* bytes = static_cast<const std::uint8_t*>(pieces[i].iov_base);
            const std::size_t n =
                std::min(pieces[i].iov_len, static_cast<std::size_t>(sent) - whole.size());
            whole.insert(whole.end(), bytes, bytes + n);
        }
        if (!whole.empty()) {
            std::lock_guard lock(m_mutex);
            m_sent.push_back(std::move(whole));
        }
        return sent;
    }

    /// The arguments of every device_read call sent so far.
    std::vector<vxi11::DeviceReadParms> deviceReads() const { return decoded<vxi11::DeviceRead>(); }
    /// The arguments of every device_write call sent so far.
    std::vector<vxi11::DeviceWriteParms> deviceWrites() const {
        return decoded<vxi11::DeviceWrite>();
    }

private:
    template <typename P>
    std::vector<typename P::Args> decoded() const {
        std::lock_guard lock(m_mutex);
        std::vector<typename P::Args> out;
        for (const auto& piece : m_sent) {
            // The library sends each record, mark and body, in one piece.
            if (piece.size() <= 4) {
                continue;
            }
            const vxi11::rpc::ParsedCall call =
                vxi11::rpc::parseCall(vxi11::xdr::ByteView(piece).subspan(4));
            if (call.status != vxi11::rpc::ParsedCall::Status::Ok || call.header.prog != P::prog ||
                call.header.proc != P::proc) {
                continue;
            }
            if (auto args = vxi11::decodeArgsFor<P>(call.args)) {
                out.push_back(*args);
            }
        }
        return out;
    }

    mutable std::mutex m_mutex;
    std::vector<std::vector<std::uint8_t>> m_sent;
};

inline lan::LanLibrary::Options recordingOptions(RecordingSocketOps& ops) {
    lan::LanLibrary::Options options;
    options.socketOps = &ops;
    return options;
}

/// The window on the VXI-11 library in front of a simulator that the test starts.
class SimulatorWindowFixture : public LibraryWindowFixture {
protected:
    /// Starts the simulator serving `instruments` and opens the window; the test fails when
    /// the simulator does not start.
    void start(std::vector<gateway::InstrumentConfig> instruments) {
        sim = std::make_unique<gateway::Simulator>(onFreePorts(std::move(instruments)));
        ASSERT_TRUE(started(*sim));
        server = QString::fromStdString(serverOf(*sim));
        openWindow(lib);
    }

    using LibraryWindowFixture::linkServer;
    /// Create Link to the simulator, clicked.
    void linkServer() { linkServer(server); }

    RecordingSocketOps ops;
    std::unique_ptr<gateway::Simulator> sim;
    QString server; ///< the server text that reaches the simulator
    lan::LanLibrary lib{recordingOptions(ops)};
};

} // namespace testsupport
