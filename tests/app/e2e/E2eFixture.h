#pragma once
// The whole road: the window as a user drives it (keys into the boxes, mouse clicks on the
// buttons), on the VXI-11 library, over loopback, to an in-process gateway simulator serving
// the demo bench plus one instrument that never answers. Every call the library sends is
// recorded, so a test can look at what reached the gateway.

#include "support/LibraryWindowFixture.h"
#include "support/LoopbackSimulator.h"

#include "gateway/Simulator.h"
#include "vxi11/IoMessages.h"
#include "vxi11/Rpc.h"
#include "vxi11/Transport.h"
#include "vxi11/Vxi11Library.h"

#include <QApplication>
#include <QLineEdit>
#include <QTest>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace e2e {

constexpr int kSilentPad = 14;
inline const std::string kDmmIdentity =
    "Orvane Instruments,DM-6510 Digital Multimeter,OV220417,2.4.1";
inline const std::string kCounterIdentity =
    "Talvik Labs,FC-330 Frequency Counter and Source,TL0330-118,1.07";

/// The plain socket calls, with a copy of every record sent kept for the test.
class RecordingSocketOps final : public vxi11::SocketOps {
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

inline vxi11::Vxi11Library::Options recordingOptions(RecordingSocketOps& ops) {
    vxi11::Vxi11Library::Options options;
    options.socketOps = &ops;
    return options;
}

class E2e : public testsupport::LibraryWindowFixture {
protected:
    void SetUp() override {
        sim = std::make_unique<gateway::Simulator>(
            testsupport::onFreePorts(testsupport::demoBenchWithSilentAt(kSilentPad)));
        ASSERT_TRUE(testsupport::started(*sim));
        server = QString::fromStdString(testsupport::serverOf(*sim));

        openWindow(lib);
        window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }

    /// Replaces the text of a combo box as a user does: select all, type.
    static void typeInto(QComboBox* box, const QString& text) {
        box->setFocus();
        box->lineEdit()->selectAll();
        if (text.isEmpty()) {
            QTest::keyClick(box, Qt::Key_Delete);
        } else {
            QTest::keyClicks(box, text);
        }
    }

    static void press(QPushButton* button) {
        ASSERT_TRUE(button->isEnabled()) << button->objectName().toStdString();
        QTest::mouseClick(button, Qt::LeftButton);
    }

    /// Types the server into the server box and clicks Create Link.
    void linkServer() {
        typeInto(ui().combSrvrs, server);
        press(ui().cmdLink);
        ASSERT_NE(st().hIntf, 0) << error();
    }

    /// Types an instrument address and clicks Select Inst and Link.
    void linkInstrument(int pad) {
        typeInto(ui().combInst, QString::number(pad));
        press(ui().cmdLinki);
        ASSERT_NE(st().hDev, 0) << error();
    }

    /// Types a command into the command box and presses Enter there.
    void enterCommand(const QString& command) {
        typeInto(ui().combCmd, command);
        QTest::keyClick(ui().combCmd, Qt::Key_Return);
    }

    /// The gateway's link id of the live link to `device` ("gpib0,22"), if there is one.
    std::optional<std::int32_t> lidOf(const std::string& device) {
        for (const auto& link : sim->links()) {
            if (link.device == device) {
                return link.lid;
            }
        }
        return std::nullopt;
    }

    RecordingSocketOps ops;
    std::unique_ptr<gateway::Simulator> sim;
    QString server;
    vxi11::Vxi11Library lib{recordingOptions(ops)};
};

} // namespace e2e
