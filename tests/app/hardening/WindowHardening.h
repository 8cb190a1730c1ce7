#pragma once
// The real window on the real VXI-11 library, for fault and bad-input tests. The library gets
// short time-outs, a name look-up that never asks a name server, a socket seam that tells when
// a device_read call has gone out, and a recorder in front of it that keeps every address and
// every written byte the window hands it.

#include "support/LibraryWindowFixture.h"
#include "support/ReadCallWatch.h"

#include "lan/LanLibrary.h"
#include "library/LibraryError.h"
#include "sicl/ForwardingLibrary.h"
#include "vxi11/client/FakeGateway.h"
#include "vxi11/codec/Messages.h"
#include "vxi11/codec/Xdr.h"

#include <QComboBox>
#include <QPushButton>
#include <QRadioButton>

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace winhard {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

/// How long iopen may take (the library's time-out of a new session).
constexpr auto kOpenTimeOut = 1500ms;
/// The library's allowance on top of a session's time-out.
constexpr auto kMargin = 300ms;
/// Room for an abort attempt after a time-out and for a slow sanitizer build.
constexpr auto kSlack = 1500ms;
/// The session time-out the tests select ("1 Sec").
constexpr auto kSessionTimeOut = 1000ms;

/// Host names the library asked to resolve. "localhost" is 127.0.0.1; every other name is
/// unknown, so no test ever asks a name server.
struct NameLog {
    std::mutex mutex;
    std::vector<std::string> asked;
    std::vector<std::string> take() {
        std::lock_guard lock(mutex);
        return std::exchange(asked, {});
    }
};

using testsupport::ReadCallWatch;

/// Forwards every entry to the library and keeps what the window handed it.
class RecordingLibrary final : public sicl::ForwardingLibrary {
public:
    using ForwardingLibrary::ForwardingLibrary;

    std::vector<std::string> opened;  ///< every address given to vb_iopen
    std::vector<std::string> written; ///< every vb_iwrite's bytes (datalen of them)

    std::int16_t vb_iopen(const std::string& address) override {
        opened.push_back(address);
        return ForwardingLibrary::vb_iopen(address);
    }
    std::int16_t vb_iwrite(std::int32_t one, sicl::SessionId id, std::string_view buf,
                           std::int32_t datalen, std::int16_t endi, std::int32_t& actual) override {
        written.emplace_back(buf.substr(0, static_cast<std::size_t>(std::max(datalen, 0))));
        return ForwardingLibrary::vb_iwrite(one, id, buf, datalen, endi, actual);
    }
};

/// The window on the library described above.
class WindowHardening : public testsupport::LibraryWindowFixture {
protected:
    WindowHardening() : names(std::make_shared<NameLog>()), vx(options(names, &watch)) {
        openWindow(lib);
    }

    static lan::LanLibrary::Options options(const std::shared_ptr<NameLog>& log,
                                            net::SocketOps* ops) {
        lan::LanLibrary::Options o;
        o.defaultTimeout = kOpenTimeOut;
        o.transportMargin = kMargin;
        o.socketOps = ops;
        o.resolver = [log](const std::string& host) -> std::vector<net::IpAddress> {
            {
                std::lock_guard lock(log->mutex);
                log->asked.push_back(host);
            }
            if (host == "localhost") {
                return {net::IpAddress::fromIpv4(htonl(0x7F000001u))};
            }
            return {};
        };
        return o;
    }

    /// Clicks and returns how long the handler took.
    static Clock::duration timedClick(QPushButton* button) {
        const auto start = Clock::now();
        button->click();
        return Clock::now() - start;
    }

    /// Create Link to `server`; with `fast` the "1 Sec" time-out is chosen afterwards.
    void linkServer(const QString& server, bool fast = true) {
        ASSERT_NO_FATAL_FAILURE(LibraryWindowFixture::linkServer(server));
        if (fast) {
            ui().optTimeout[0]->click();
        }
    }

    std::shared_ptr<NameLog> names;
    ReadCallWatch watch;
    lan::LanLibrary vx;
    RecordingLibrary lib{vx};
};

/// A report of `label` for library error `number`: label, CR LF, the error's text (its table
/// text, possibly followed by a detail), " - Retry".
inline ::testing::AssertionResult isReport(const std::string& shown, const std::string& label,
                                           int number) {
    const std::string head = label + "\r\n" + library::errorText(number);
    const std::string tail = " - Retry";
    if (shown.rfind(head, 0) == 0 && shown.size() >= head.size() + tail.size() &&
        shown.compare(shown.size() - tail.size(), tail.size(), tail) == 0) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << "shown \"" << shown << "\", expected \"" << head << "...\" + \"" << tail << "\"";
}

/// A fake gateway that serves what the window needs on its way to a read (links, bus commands,
/// writes) and hands device_read calls to `onRead`. `writes` collects the data of every
/// device_write with its END flag.
struct WriteRecord {
    std::string data;
    bool end = false;
};

inline testsupport::FakeGateway::Handler
windowGateway(std::function<bool(testsupport::Peer&, const vxi11::rpc::ParsedCall&)> onRead,
              std::shared_ptr<std::vector<WriteRecord>> writes = {},
              std::shared_ptr<std::mutex> writesMutex = {}) {
    return [onRead = std::move(onRead), writes, writesMutex](
               testsupport::FakeGateway& g, testsupport::Peer& p, const vxi11::rpc::ParsedCall& c) {
        using namespace vxi11;
        if (g.answerLinkCalls(p, c)) {
            return true;
        }
        switch (c.header.proc) {
        case proc::kDeviceDocmd: {
            const auto parms = decodeArgsFor<DeviceDocmd>(c.args);
            if (!parms) {
                return false;
            }
            const std::uint32_t zero = 0;
            const int size = parms->datasize == 0 ? 2 : parms->datasize;
            testsupport::FakeGateway::reply<DeviceDocmd>(
                p, c,
                DeviceDocmdResp{0, packElements(std::span(&zero, 1), size, parms->networkOrder)});
            return true;
        }
        case proc::kDeviceWrite: {
            const auto parms = decodeArgsFor<DeviceWrite>(c.args);
            if (!parms) {
                return false;
            }
            if (writes) {
                std::lock_guard lock(*writesMutex);
                writes->push_back({std::string(parms->data.begin(), parms->data.end()),
                                   (parms->flags & vxi11::flags::kEnd) != 0});
            }
            testsupport::FakeGateway::reply<DeviceWrite>(
                p, c, DeviceWriteResp{0, static_cast<std::uint32_t>(parms->data.size())});
            return true;
        }
        case proc::kDeviceRead:
            return onRead ? onRead(p, c) : false;
        default:
            testsupport::FakeGateway::reply<DeviceClear>(p, c, DeviceError{0});
            return true;
        }
    };
}

} // namespace winhard
