#include "cli/Discover.h"

#include "cli/Commands.h"
#include "cli/DeviceAddress.h"
#include "cli/Errors.h"
#include "lan/LanLibrary.h"
#include "lan/Probe.h"
#include "library/LibraryError.h"
#include "trace/TracingLibrary.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <optional>
#include <ostream>
#include <thread>

namespace cli {

namespace {

using namespace std::chrono;

/// Hosts asked at once.
constexpr std::size_t kParallel = 64;

/// The services asked on each host, in the order a host's results are printed.
enum Service : std::size_t { kVxi11, kHislip, kSocket, kServices };

/// What one service of a host answered.
struct Found {
    std::uint16_t port = 0; ///< the VXI-11 core channel's, or the port that was asked
    std::optional<std::string> idn;
};

using HostAnswers = std::array<std::optional<Found>, kServices>;

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

/// *IDN? on an open session, within what is left until `deadline`; closes the session.
std::optional<std::string> askIdentity(sicl::InstrumentLibrary& library, sicl::SessionId id,
                                       steady_clock::time_point deadline) {
    const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
    std::optional<std::string> idn;
    // Any time left is at least 1 ms: 0 would mean no time-out at all.
    if (left > 0 && library.vb_itimeout(id, static_cast<std::int32_t>(left)) == 0) {
        const std::string query = "*IDN?\n";
        std::int32_t actual = 0;
        if (library.vb_iwrite(1, id, query, static_cast<std::int32_t>(query.size()), 1, actual) ==
            0) {
            std::string buffer(1024, '\0');
            std::int32_t reason = 0;
            if (library.vb_iread(1, id, buffer, static_cast<std::int32_t>(buffer.size()), reason,
                                 actual) == 0) {
                buffer.resize(static_cast<std::size_t>(std::clamp(actual, 0, 1024)));
                idn = firstLine(buffer);
            }
        }
    }
    library.vb_iclose(id);
    return idn;
}

/// The VXI-11 core channel of the host's portmapper, and *IDN? of its device `inst0`.
std::optional<Found> askVxi11(const DiscoverTarget& t, milliseconds perHost,
                              sicl::InstrumentLibrary& library) {
    const auto deadline = steady_clock::now() + perHost;
    // Nothing there, no portmapper, or no VXI-11: not a result.
    const lan::Probed<std::uint16_t> corePort = lan::findVxi11(t.ipv4, t.portmapperPort, perHost);
    if (!corePort) {
        return std::nullopt;
    }
    Found found{*corePort.value, std::nullopt};
    DeviceAddress inst0;
    inst0.deviceName = "inst0";
    const std::string server = lan::ipv4Text(t.ipv4) + ":" + std::to_string(t.portmapperPort);
    if (const sicl::SessionId id = library.vb_iopen(libraryAddress(server, inst0)); id != 0) {
        found.idn = askIdentity(library, id, deadline);
    }
    return found;
}

/// A HiSLIP server (its Initialize answered) or a raw socket (it took the connection) at
/// `port`, and its *IDN?.
std::optional<Found> askLanService(Service service, const DiscoverTarget& t, std::uint16_t port,
                                   milliseconds perHost, sicl::InstrumentLibrary& library) {
    const auto deadline = steady_clock::now() + perHost;
    const std::string host = lan::ipv4Text(t.ipv4);
    const std::string p = std::to_string(port);
    const std::string resource = service == kHislip
                                     ? "TCPIP::" + host + "::hislip0," + p + "::INSTR"
                                     : "TCPIP::" + host + "::" + p + "::SOCKET";
    const sicl::SessionId id = library.vb_iopen(resource);
    if (id != 0) {
        return Found{port, askIdentity(library, id, deadline)};
    }
    // A HiSLIP server that refuses the sub-address hislip0 has answered all the same.
    const int error = library.vb_igeterrno();
    if (service == kHislip &&
        (error == library::liberr::kServerError || error == library::liberr::kServerFatalError)) {
        return Found{port, std::nullopt};
    }
    return std::nullopt;
}

std::optional<Found> ask(Service service, const DiscoverTarget& t, milliseconds perHost,
                         DiscoverPorts ports, sicl::InstrumentLibrary& library) {
    switch (service) {
    case kVxi11:
        return t.portmapperPort == 0 ? std::nullopt : askVxi11(t, perHost, library);
    case kHislip:
        return ports.hislip == 0 ? std::nullopt
                                 : askLanService(service, t, ports.hislip, perHost, library);
    case kSocket:
        return ports.socket == 0 ? std::nullopt
                                 : askLanService(service, t, ports.socket, perHost, library);
    case kServices:
        break;
    }
    return std::nullopt;
}

Json portOf(const std::optional<Found>& f) {
    return f ? Json(f->port) : Json(nullptr);
}

Json idnOf(const std::optional<Found>& f) {
    return f && f->idn ? Json(jsonText(*f->idn)) : Json(nullptr);
}

/// One result for a host where something answered: a JSON object, or a line per service.
void printHost(const DiscoverTarget& t, const HostAnswers& a, Output& out) {
    Json object{{"command", "discover"},
                {"host", t.host},
                {"portmapper_port", t.portmapperPort == 0 ? Json(nullptr) : Json(t.portmapperPort)},
                {"core_port", portOf(a[kVxi11])},
                {"idn", idnOf(a[kVxi11])},
                {"hislip_port", portOf(a[kHislip])},
                {"hislip_idn", idnOf(a[kHislip])},
                {"socket_port", portOf(a[kSocket])},
                {"socket_idn", idnOf(a[kSocket])}};
    std::string text;
    const auto line = [&](const std::string& head, const std::optional<Found>& f,
                          const char* none) {
        text += (text.empty() ? "" : "\n") + head + std::to_string(f->port) + "\t" +
                (f->idn ? *f->idn : none);
    };
    if (a[kVxi11]) {
        line(t.host + ":" + std::to_string(t.portmapperPort) + "\tcore ", a[kVxi11],
             "(no inst0 answer)");
    }
    if (a[kHislip]) {
        line(t.host + "\thislip ", a[kHislip], "(no *IDN? answer)");
    }
    if (a[kSocket]) {
        line(t.host + "\tsocket ", a[kSocket], "(no *IDN? answer)");
    }
    out.result(object, text);
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
                     DiscoverPorts ports, sicl::InstrumentLibrary& library, Output& out) {
    std::vector<HostAnswers> answers(targets.size());
    std::atomic<std::size_t> next{0};
    auto worker = [&] {
        for (std::size_t i = next++; i < targets.size(); i = next++) {
            if (targets[i].errorNumber != 0) {
                continue;
            }
            // One service after the other: an instrument that speaks several protocols has
            // one output queue, and *IDN? asked over two at once can give one the other's
            // answer.
            for (std::size_t service = 0; service < kServices; ++service) {
                answers[i][service] =
                    ask(static_cast<Service>(service), targets[i], perHost, ports, library);
            }
        }
    };
    std::vector<std::thread> workers;
    const std::size_t count = std::min(kParallel, targets.size());
    for (std::size_t w = 0; w < count; ++w) {
        workers.emplace_back(worker);
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
        const HostAnswers& a = answers[i];
        if (std::any_of(a.begin(), a.end(), [](const auto& f) { return f.has_value(); })) {
            ++found;
            printHost(t, a, out);
        }
    }
    if (found == 0 && !out.json()) {
        out.result({}, "no VXI-11, HiSLIP or socket service found");
    }
    return failed;
}

int runDiscover(Context& c) {
    const Settings& s = c.runner.settings();
    const milliseconds perHost =
        s.timeoutGiven && s.timeoutMs > 0 ? milliseconds(s.timeoutMs) : milliseconds(1000);
    const auto targets = expandTargets(c.values.words, static_cast<std::uint16_t>(c.values.port),
                                       milliseconds(5000));
    // A library of its own, whose sessions' opening is bounded by the per-host time-out as
    // well: a host that drops what comes to a port must not hold discover for the program's
    // whole time-out (or for ever, with -t 0).
    lan::LanLibrary::Options options;
    options.defaultTimeout = perHost;
    lan::LanLibrary probes(options);
    const auto traced = trace::traceIfAsked(probes, s.tracePath, c.out.err());
    sicl::InstrumentLibrary& library =
        traced ? static_cast<sicl::InstrumentLibrary&>(*traced) : probes;
    const DiscoverPorts ports{static_cast<std::uint16_t>(c.values.hislipPort),
                              static_cast<std::uint16_t>(c.values.socketPort)};
    return discover(targets, perHost, ports, library, c.out) == 0 ? kOk : kFailed;
}

} // namespace cli
