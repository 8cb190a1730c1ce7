#include "cli/Discover.h"

#include "cli/Commands.h"
#include "cli/DeviceAddress.h"
#include "cli/Errors.h"
#include "lan/Probe.h"

#include <arpa/inet.h>

#include <algorithm>
#include <atomic>
#include <optional>
#include <ostream>
#include <thread>

namespace cli {

namespace {

using namespace std::chrono;

/// Hosts asked at once.
constexpr std::size_t kParallel = 64;

/// What one host answered.
struct Answer {
    std::uint16_t corePort = 0;
    std::optional<std::string> idn;
};

std::uint16_t parsePort(const std::string& target, std::string_view text) {
    int port = 0;
    for (char c : text) {
        if (c < '0' || c > '9' || port > 65535) {
            throw UsageError("bad port in '" + target + "'");
        }
        port = port * 10 + (c - '0');
    }
    if (text.empty() || port == 0 || port > 65535) {
        throw UsageError("bad port in '" + target + "'");
    }
    return static_cast<std::uint16_t>(port);
}

/// *IDN? of the device `inst0` behind the host, or nothing when there is none.
std::optional<std::string> askIdentity(const DiscoverTarget& t, milliseconds limit,
                                       sicl::InstrumentLibrary& library) {
    const std::string server = lan::ipv4Text(t.ipv4) + ":" + std::to_string(t.portmapperPort);
    DeviceAddress inst0;
    inst0.typed = "inst0";
    inst0.deviceName = "inst0";
    const sicl::SessionId id = library.vb_iopen(libraryAddress(server, inst0));
    if (id == 0) {
        return std::nullopt;
    }
    std::optional<std::string> idn;
    if (library.vb_itimeout(id, static_cast<std::int32_t>(limit.count())) != 0) {
        library.vb_iclose(id);
        return std::nullopt;
    }
    const std::string query = "*IDN?\n";
    std::int32_t actual = 0;
    if (library.vb_iwrite(1, id, query, static_cast<std::int32_t>(query.size()), 1, actual) == 0) {
        std::string buffer(1024, '\0');
        std::int32_t reason = 0;
        if (library.vb_iread(1, id, buffer, static_cast<std::int32_t>(buffer.size()), reason,
                             actual) == 0) {
            buffer.resize(static_cast<std::size_t>(std::clamp(actual, 0, 1024)));
            idn = buffer.substr(0, buffer.find_first_of("\r\n"));
        }
    }
    library.vb_iclose(id);
    return idn;
}

} // namespace

std::vector<DiscoverTarget> expandTargets(const std::vector<std::string>& targets,
                                          std::uint16_t defaultPort, milliseconds lookUp) {
    std::vector<DiscoverTarget> out;
    for (const std::string& target : targets) {
        std::string host = target;
        std::uint16_t port = defaultPort;
        const std::size_t colon = host.rfind(':');
        if (colon != std::string::npos) {
            port = parsePort(target, std::string_view(host).substr(colon + 1));
            host.resize(colon);
        }
        const std::size_t slash = host.find('/');
        if (slash == std::string::npos) {
            checkServer(host);
            const lan::Probed<std::uint32_t> ipv4 = lan::resolveHost(host, lookUp);
            if (ipv4) {
                out.push_back({host, *ipv4.value, port});
            } else {
                out.push_back({host, 0, port, ipv4.errorNumber, ipv4.errorText});
            }
            continue;
        }
        const std::string prefixText = host.substr(slash + 1);
        int prefix = -1;
        if (!prefixText.empty() && prefixText.size() <= 2 &&
            std::all_of(prefixText.begin(), prefixText.end(), ::isdigit)) {
            prefix = std::stoi(prefixText);
        }
        const auto base = lan::parseIpv4(host.substr(0, slash));
        if (!base || prefix < 0 || prefix > 32) {
            throw UsageError("bad range '" + target + "': expected ADDRESS/N");
        }
        if (prefix < kWidestPrefix) {
            throw UsageError("range '" + target + "' is wider than /22");
        }
        const std::uint32_t size = 1u << (32 - prefix);
        const std::uint32_t first = ntohl(*base) & ~(size - 1);
        // A /31 or /32 has no network or broadcast address to leave out.
        const std::uint32_t skip = size >= 4 ? 1 : 0;
        for (std::uint32_t i = skip; i < size - skip; ++i) {
            const std::uint32_t ipv4 = htonl(first + i);
            out.push_back({lan::ipv4Text(ipv4), ipv4, port});
        }
    }
    return out;
}

std::size_t discover(const std::vector<DiscoverTarget>& targets, milliseconds perHost,
                     sicl::InstrumentLibrary& library, Output& out) {
    std::vector<std::optional<Answer>> answers(targets.size());
    std::atomic<std::size_t> next{0};
    auto work = [&] {
        for (std::size_t i = next++; i < targets.size(); i = next++) {
            const DiscoverTarget& t = targets[i];
            if (t.errorNumber != 0) {
                continue;
            }
            // Nothing there, no portmapper, or no VXI-11: not a result.
            const lan::Probed<std::uint16_t> corePort =
                lan::findVxi11(t.ipv4, t.portmapperPort, perHost);
            if (corePort) {
                answers[i] = Answer{*corePort.value, askIdentity(t, perHost, library)};
            }
        }
    };
    std::vector<std::thread> workers;
    const std::size_t count = std::min(kParallel, targets.size());
    for (std::size_t w = 0; w < count; ++w) {
        workers.emplace_back(work);
    }
    for (std::thread& w : workers) {
        w.join();
    }
    std::size_t found = 0;
    std::size_t failed = 0;
    for (std::size_t i = 0; i < targets.size(); ++i) {
        const DiscoverTarget& t = targets[i];
        if (t.errorNumber != 0) {
            ++failed;
            out.err() << "siclquill-cli: discover: " << t.host << ": error " << t.errorNumber
                      << ": " << t.errorText << std::endl;
            if (out.json()) {
                out.result(Json{{"command", "discover"},
                                {"host", t.host},
                                {"error", {{"number", t.errorNumber}, {"text", t.errorText}}}},
                           {});
            }
            continue;
        }
        if (!answers[i]) {
            continue;
        }
        ++found;
        const Answer& a = *answers[i];
        Json object{{"command", "discover"},
                    {"host", t.host},
                    {"portmapper_port", t.portmapperPort},
                    {"core_port", a.corePort},
                    {"idn", a.idn ? Json(jsonText(*a.idn)) : Json(nullptr)}};
        out.result(object, t.host + ":" + std::to_string(t.portmapperPort) + "\tcore " +
                               std::to_string(a.corePort) + "\t" +
                               (a.idn ? *a.idn : "(no inst0 answer)"));
    }
    if (found == 0 && !out.json()) {
        out.result({}, "no VXI-11 service found");
    }
    return failed;
}

int runDiscover(Context& c) {
    const Settings& s = c.runner.settings();
    const milliseconds perHost =
        s.timeoutGiven && s.timeoutMs > 0 ? milliseconds(s.timeoutMs) : milliseconds(1000);
    const auto targets = expandTargets(c.values.words, static_cast<std::uint16_t>(c.values.port),
                                       milliseconds(5000));
    return discover(targets, perHost, c.runner.library(), c.out) == 0 ? kOk : kFailed;
}

} // namespace cli
