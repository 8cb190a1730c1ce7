#pragma once
// The client's end of an interrupt channel, as an independent VXI-11 client has it: a TCP
// server on loopback that the simulator connects back to, and the device_intr_srq calls that
// arrive on it, read as raw records.

#include "net/Listeners.h"
#include "net/TransportError.h"
#include "vxi11/codec/Messages.h"
#include "vxi11/rpc/RecordStream.h"

#include <chrono>
#include <optional>
#include <string>

namespace testrpc {

class InterruptListener {
public:
    InterruptListener() : m_listener(net::TcpListener::open("127.0.0.1", 0, 1)) {}

    /// create_intr_chan's arguments naming this listener.
    vxi11::DeviceRemoteFunc remoteFunc() const {
        vxi11::DeviceRemoteFunc f;
        f.hostAddr = 0x7F000001;
        f.hostPort = m_listener.port();
        return f;
    }

    /// Takes the simulator's connection back; false if none came within 5 s.
    bool accept() {
        auto accepted = m_listener.accept(net::TcpListener::Mode::NonBlocking,
                                          net::Deadline::after(std::chrono::seconds(5)));
        if (!accepted) {
            return false;
        }
        m_channel = std::move(accepted->connection);
        return true;
    }

    /// The handle of the next device_intr_srq call (as text), or nothing if none came within
    /// 5 s or the record is anything else.
    std::optional<std::string> nextHandle() {
        vxi11::rpc::RecordStream::Result record;
        try {
            record = m_records.read(m_channel, net::Deadline::after(std::chrono::seconds(5)));
        } catch (const net::TransportError&) {
            return std::nullopt;
        }
        if (record.status != vxi11::rpc::RecordStream::Status::Record) {
            return std::nullopt;
        }
        const vxi11::rpc::ParsedCall call = vxi11::rpc::parseCall(record.record);
        if (call.status != vxi11::rpc::ParsedCall::Status::Ok ||
            call.header.prog != vxi11::kDeviceIntr ||
            call.header.proc != vxi11::proc::kDeviceIntrSrq) {
            return std::nullopt;
        }
        const auto srq = vxi11::decodeArgsFor<vxi11::DeviceIntrSrq>(call.args);
        if (!srq) {
            return std::nullopt;
        }
        return std::string(srq->handle.begin(), srq->handle.end());
    }

private:
    net::TcpListener m_listener;
    net::TcpConnection m_channel;
    vxi11::rpc::RecordStream m_records{4096};
};

} // namespace testrpc
