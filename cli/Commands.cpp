#include "cli/Commands.h"

#include "cli/BusBytes.h"
#include "cli/Errors.h"
#include "cli/LoopStats.h"
#include "library/LibraryError.h"
#include "sicl/GpibBus.h"
#include "sicl/ListenerScan.h"
#include "vxi11/transport/Address.h"
#include "vxi11/transport/SrqChannel.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

namespace cli {

std::atomic<bool> g_interrupted{false};
std::atomic<bool> g_interruptible{false};

namespace {

using namespace std::chrono;
using sicl::SessionId;
using sicl::SiclError;

// Reasons a read ended, as the library reports them.
constexpr std::int32_t kReasonCount = 1;
constexpr std::int32_t kReasonChar = 2;
constexpr std::int32_t kReasonEnd = 4;

/// Bytes asked for by the first read piece; a piece that fills up makes the next ones larger.
constexpr std::size_t kFirstPiece = 64 * 1024;
constexpr std::size_t kLargePiece = 1024 * 1024;
/// Most bytes a read takes by default, and a block read.
constexpr std::size_t kDefaultReadMax = 1024 * 1024;
constexpr std::size_t kDefaultBlockMax = std::size_t{1} << 30;
/// RQS in a status byte: this device asked for service.
constexpr std::int16_t kRqs = 0x40;
/// How often srq looks at the SRQ line.
constexpr milliseconds kSrqPollInterval{20};

/// The answer as the window shows it: cut at the first CR or LF.
std::string cutAtTerminator(const std::string& response) {
    return response.substr(0, response.find_first_of("\r\n"));
}

/// The header of a definite-length IEEE 488.2 block at the start of `r` (`#`, a digit count N,
/// N digits of length): its size and the data's length; nothing if `r` does not start with one.
std::optional<std::pair<std::size_t, std::size_t>> blockHeader(std::string_view r) {
    if (r.size() < 2 || r[0] != '#' || r[1] < '1' || r[1] > '9') {
        return std::nullopt;
    }
    const auto digits = static_cast<std::size_t>(r[1] - '0');
    if (r.size() < 2 + digits) {
        return std::nullopt;
    }
    std::size_t length = 0;
    for (std::size_t i = 2; i < 2 + digits; ++i) {
        if (r[i] < '0' || r[i] > '9') {
            return std::nullopt;
        }
        length = length * 10 + static_cast<std::size_t>(r[i] - '0');
    }
    return std::pair(2 + digits, length);
}

/// Turns `r`, an IEEE 488.2 block, into its data, in place (a block may be as large as memory
/// allows, so it is not copied): `#` and a digit count N and N digits of length, then the data
/// (definite length); or `#0` and data up to the final LF (indefinite length).
void unwrapBlock(std::string& r) {
    if (r.size() < 2 || r[0] != '#' || r[1] < '0' || r[1] > '9') {
        throw Failure("the answer is no IEEE 488.2 block (it does not start with # and a digit)");
    }
    if (r[1] == '0') {
        r.erase(0, 2);
        if (!r.empty() && r.back() == '\n') {
            r.pop_back();
        }
        return;
    }
    const auto header = blockHeader(r);
    if (!header) {
        throw Failure(r.size() < 2u + static_cast<std::size_t>(r[1] - '0')
                          ? "block header cut short"
                          : "block length is not a number");
    }
    const auto [size, length] = *header;
    const std::size_t have = r.size() - size;
    if (have < length) {
        throw Failure("block cut short: " + std::to_string(have) + " of " + std::to_string(length) +
                      " bytes");
    }
    r.resize(size + length);
    r.erase(0, size);
}

/// Errors with which a gateway says it has no interrupt channel to offer.
bool refusesInterruptChannel(int number) {
    return number == library::liberr::kNotSupported ||
           number == library::liberr::kChannelNotEstablished ||
           number == library::liberr::kCallRefused;
}

std::string hexByte(int value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value & 0xFF);
    return text;
}

/// Lets Ctrl-C end what runs in its scope instead of the program.
class Interruptible {
public:
    Interruptible() {
        g_interrupted.store(false);
        g_interruptible.store(true);
    }
    ~Interruptible() { g_interruptible.store(false); }
    Interruptible(const Interruptible&) = delete;
    Interruptible& operator=(const Interruptible&) = delete;
};

/// Sleeps until `until`, waking early for Ctrl-C.
void sleepUntil(steady_clock::time_point until) {
    while (!g_interrupted.load() && steady_clock::now() < until) {
        std::this_thread::sleep_for(
            std::min<steady_clock::duration>(until - steady_clock::now(), milliseconds(50)));
    }
}

std::string fixed(double value, int decimals) {
    std::ostringstream s;
    s.setf(std::ios::fixed);
    s.precision(decimals);
    s << value;
    return s.str();
}

} // namespace

Runner::Runner(sicl::InstrumentLibrary& library, Settings settings, Output& output)
    : m_settings(std::move(settings)), m_out(output), m_sicl(library) {}

Runner::~Runner() {
    auto close = [this](SessionId id) {
        try {
            m_sicl.iclose(id);
        } catch (const SiclError&) {
            // The program ends either way; the gateway drops the link with the connection.
        }
    };
    for (const auto& [address, id] : m_devices) {
        close(id);
    }
    if (m_interface != 0) {
        close(m_interface);
    }
}

SessionId Runner::open(const std::string& address) {
    const SessionId id = m_sicl.iopen(address);
    if (id == 0) {
        throw Failure("cannot open " + address);
    }
    return id;
}

SessionId Runner::interfaceSession() {
    if (m_interface == 0) {
        m_interface = open(interfaceAddress(m_settings.server));
    }
    return m_interface;
}

SessionId Runner::deviceSession(const DeviceAddress& device) {
    const std::string address = libraryAddress(m_settings.server, device);
    const auto it = m_devices.find(address);
    if (it != m_devices.end()) {
        return it->second;
    }
    const SessionId id = open(address);
    m_devices.emplace(address, id);
    return id;
}

std::string Runner::message(const std::string& text) const {
    std::string bytes = text;
    if (m_settings.cr) {
        bytes += '\r';
    }
    if (m_settings.lf) {
        bytes += '\n';
    }
    return bytes;
}

void Runner::readResponse(SessionId id, std::size_t limit, std::string& response) {
    response.clear();
    std::size_t piece = kFirstPiece;
    while (response.size() < limit) {
        if (m_readBuffer.size() < piece) {
            m_readBuffer.assign(piece, '\0');
        }
        const std::size_t want = std::min(piece, limit - response.size());
        std::int32_t reason = 0;
        std::int32_t actual = 0;
        m_sicl.iread(id, m_readBuffer, static_cast<std::int32_t>(want), reason, actual);
        const auto got = std::min(static_cast<std::size_t>(std::max(actual, 0)), want);
        response.append(m_readBuffer.data(), got);
        if ((reason & (kReasonEnd | kReasonChar)) != 0 || got == 0) {
            return;
        }
        // A long definite-length block: room for all of it at once, rather than growing (and
        // copying) the answer piece by piece.
        if (response.size() == got) {
            if (const auto header = blockHeader(response)) {
                response.reserve(std::min(limit, header->first + header->second + 2));
            }
        }
        if ((reason & kReasonCount) != 0 && got == piece) {
            piece = kLargePiece; // a large answer: fewer, larger pieces
        }
    }
}

void Runner::printResponse(const char* command, const DeviceAddress& device, std::string response,
                           const ReadOptions& options) {
    Json object{{"command", command}, {"address", device.typed}, {"bytes", response.size()}};
    std::string data = std::move(response);
    if (options.block) {
        unwrapBlock(data);
        object["block_bytes"] = data.size();
    }
    if (options.out) {
        std::ofstream file(*options.out, std::ios::binary | std::ios::trunc);
        file.write(data.data(), static_cast<std::streamsize>(data.size()));
        file.close();
        if (!file) {
            throw Failure("cannot write " + *options.out);
        }
        object["file"] = *options.out;
        m_out.result(object, "wrote " + std::to_string(data.size()) + " bytes to " + *options.out);
        return;
    }
    if (options.raw || options.block) {
        object["answer"] = jsonText(data);
        if (m_out.json()) {
            m_out.result(object, {});
        } else {
            // The bytes exactly as they came (or as the block held them), nothing added.
            m_out.out().write(data.data(), static_cast<std::streamsize>(data.size()));
            m_out.out().flush();
        }
        return;
    }
    const std::string text = cutAtTerminator(data);
    object["answer"] = jsonText(text);
    m_out.result(object, text);
}

void Runner::query(const DeviceAddress& device, const std::string& text,
                   const ReadOptions& options) {
    const SessionId id = deviceSession(device);
    const std::string bytes = message(text);
    std::int32_t actual = 0;
    m_sicl.iwrite(id, bytes, static_cast<std::int32_t>(bytes.size()), 1, actual);
    std::string response;
    readResponse(id, options.max.value_or(options.block ? kDefaultBlockMax : kDefaultReadMax),
                 response);
    printResponse("query", device, std::move(response), options);
}

void Runner::write(const DeviceAddress& device, const std::string& text) {
    const SessionId id = deviceSession(device);
    const std::string bytes = message(text);
    std::int32_t actual = 0;
    m_sicl.iwrite(id, bytes, static_cast<std::int32_t>(bytes.size()), 1, actual);
    m_out.result(Json{{"command", "write"}, {"address", device.typed}, {"bytes", actual}},
                 "wrote " + std::to_string(actual) + " bytes");
}

void Runner::read(const DeviceAddress& device, const ReadOptions& options) {
    const SessionId id = deviceSession(device);
    std::string response;
    readResponse(id, options.max.value_or(options.block ? kDefaultBlockMax : kDefaultReadMax),
                 response);
    printResponse("read", device, std::move(response), options);
}

void Runner::spoll(const DeviceAddress& device) {
    std::int16_t stb = 0;
    m_sicl.ireadstb(deviceSession(device), stb);
    const int value = stb & 0xFF;
    m_out.result(Json{{"command", "spoll"}, {"address", device.typed}, {"stb", value}},
                 "status byte " + std::to_string(value) + " (" + hexByte(value) + ")");
}

void Runner::clear(const DeviceAddress& device) {
    m_sicl.iclear(deviceSession(device));
    m_out.result(Json{{"command", "clear"}, {"address", device.typed}}, "device cleared");
}

void Runner::trigger(const DeviceAddress& device) {
    m_sicl.itrigger(deviceSession(device));
    m_out.result(Json{{"command", "trigger"}, {"address", device.typed}}, "device triggered");
}

void Runner::lock(const DeviceAddress& device) {
    m_sicl.ilock(deviceSession(device));
    m_out.result(Json{{"command", "lock"}, {"address", device.typed}}, "device locked");
}

void Runner::unlock(const DeviceAddress& device) {
    m_sicl.iunlock(deviceSession(device));
    m_out.result(Json{{"command", "unlock"}, {"address", device.typed}}, "device unlocked");
}

void Runner::addressAndSend(const DeviceAddress& device, std::string tail) {
    const SessionId intf = interfaceSession();
    std::int16_t own = 0;
    m_sicl.igpibbusstatus(intf, sicl::busstatus::kBusAddress, own);
    std::string bytes{static_cast<char>(sicl::gpib::kUnl),
                      static_cast<char>(sicl::gpib::kTalkBase + (own & 0x1F)),
                      static_cast<char>(sicl::gpib::kListenBase + *device.pad)};
    if (device.sad) {
        bytes += static_cast<char>(sicl::gpib::kSecondaryBase + *device.sad);
    }
    bytes += tail;
    bytes += static_cast<char>(sicl::gpib::kUnl);
    m_sicl.igpibsendcmd(intf, bytes, static_cast<std::int32_t>(bytes.size()));
}

void Runner::local(const DeviceAddress& device) {
    if (device.pad) {
        addressAndSend(device, std::string(1, static_cast<char>(sicl::gpib::kGtl)));
    } else {
        // A device by name may have no bus behind it (a LAN instrument): its link says it.
        m_sicl.ilocal(deviceSession(device));
    }
    m_out.result(Json{{"command", "local"}, {"address", device.typed}}, "device to local");
}

void Runner::remote(const DeviceAddress& device) {
    if (device.pad) {
        // With REN asserted, a device addressed to listen goes to remote.
        m_sicl.igpibrenctl(interfaceSession(), 1);
        addressAndSend(device, {});
    } else {
        m_sicl.iremote(deviceSession(device));
    }
    m_out.result(Json{{"command", "remote"}, {"address", device.typed}}, "device to remote");
}

void Runner::status() {
    const SessionId intf = interfaceSession();
    struct Request {
        std::int16_t code;
        const char* key;
        const char* label;
    };
    static constexpr Request kRequests[] = {
        {sicl::busstatus::kRen, "REN", "REN"},
        {sicl::busstatus::kSrq, "SRQ", "SRQ"},
        {sicl::busstatus::kNdac, "NDAC", "NDAC"},
        {sicl::busstatus::kSystemController, "system_controller", "system controller"},
        {sicl::busstatus::kControllerInCharge, "controller_in_charge", "controller in charge"},
        {sicl::busstatus::kTalker, "talker", "talker"},
        {sicl::busstatus::kListener, "listener", "listener"},
        {sicl::busstatus::kBusAddress, "bus_address", "bus address"},
    };
    Json object{{"command", "status"}};
    std::string text;
    for (const Request& r : kRequests) {
        std::int16_t value = 0;
        try {
            m_sicl.igpibbusstatus(intf, r.code, value);
        } catch (const SiclError&) {
            // The three lines are every gateway's; the other requests are optional.
            if (r.code <= sicl::busstatus::kNdac) {
                throw;
            }
            continue;
        }
        const int shown = r.code == sicl::busstatus::kBusAddress ? value : (value != 0 ? 1 : 0);
        object[r.key] = shown;
        text += (text.empty() ? "" : "\n") + std::string(r.label) + " = " + std::to_string(shown);
    }
    m_out.result(object, text);
}

void Runner::ifc() {
    m_sicl.iclear(interfaceSession());
    m_out.result(Json{{"command", "ifc"}}, "IFC sent");
}

void Runner::ren(bool on) {
    m_sicl.igpibrenctl(interfaceSession(), on ? 1 : 0);
    m_out.result(Json{{"command", "ren"}, {"value", on ? 1 : 0}},
                 on ? "REN asserted" : "REN released");
}

void Runner::atn(bool on) {
    m_sicl.igpibatnctl(interfaceSession(), on ? 1 : 0);
    m_out.result(Json{{"command", "atn"}, {"value", on ? 1 : 0}},
                 on ? "ATN asserted" : "ATN released");
}

void Runner::cmd(const std::string& bytes, bool dryRun) {
    const std::string hex = hexText(bytes);
    if (!dryRun) {
        m_sicl.igpibsendcmd(interfaceSession(), bytes, static_cast<std::int32_t>(bytes.size()));
    }
    m_out.result(Json{{"command", "cmd"}, {"bytes", hex}, {"sent", !dryRun}},
                 dryRun ? hex : "sent " + hex);
}

std::vector<std::pair<int, std::optional<int>>> Runner::listeners(bool secondary) {
    const SessionId intf = interfaceSession();
    std::int16_t own = 0;
    m_sicl.igpibbusstatus(intf, sicl::busstatus::kBusAddress, own);
    sicl::ListenerScanOptions options;
    options.secondary = secondary;
    std::vector<std::pair<int, std::optional<int>>> found;
    try {
        for (const sicl::Listener& l : sicl::scanListeners(m_sicl, intf, own, options)) {
            found.emplace_back(l.pad, l.sad);
        }
    } catch (const std::out_of_range& e) {
        throw Failure(e.what());
    }
    return found;
}

void Runner::find(bool secondary) {
    const auto found = listeners(secondary);
    for (const auto& [pad, sad] : found) {
        Json object{{"command", "find"}, {"address", addressText(pad, sad)}, {"pad", pad}};
        if (sad) {
            object["sad"] = *sad;
        }
        m_out.result(object, addressText(pad, sad));
    }
    if (found.empty() && !m_out.json()) {
        m_out.result({}, "no listeners found");
    }
}

void Runner::census(bool secondary) {
    const auto found = listeners(secondary);
    const std::string idn = message("*IDN?");
    std::string response;
    for (const auto& [pad, sad] : found) {
        const DeviceAddress device = gpibAddress(pad, sad);
        const SessionId id = deviceSession(device);
        std::optional<std::string> identity;
        try {
            std::int32_t actual = 0;
            m_sicl.iwrite(id, idn, static_cast<std::int32_t>(idn.size()), 1, actual);
            readResponse(id, 4096, response);
            identity = cutAtTerminator(response);
        } catch (const SiclError&) {
            // An instrument that ignores *IDN? keeps it in its input and may hold the bus as
            // a talker; a device clear leaves it ready for the next one.
            try {
                m_sicl.iclear(id);
            } catch (const SiclError&) {
            }
        }
        Json object{{"command", "census"}, {"address", device.typed}};
        object["idn"] = identity ? Json(jsonText(*identity)) : Json(nullptr);
        m_out.result(object, device.typed + "\t" + (identity ? *identity : "no answer"));
    }
    if (found.empty() && !m_out.json()) {
        m_out.result({}, "no listeners found");
    }
}

bool Runner::loop(const DeviceAddress& device, const std::string& text,
                  const LoopOptions& options) {
    const SessionId id = deviceSession(device);
    const std::string bytes = message(text);
    const bool isQuery = text.find('?') != std::string::npos;
    const auto size = static_cast<std::int32_t>(bytes.size());
    LatencyStats stats;
    std::uint64_t passes = 0;
    std::uint64_t errors = 0;
    std::optional<std::string> firstError;
    std::string response;
    response.reserve(kFirstPiece);

    const auto start = steady_clock::now();
    const auto end =
        options.durationS
            ? start + duration_cast<steady_clock::duration>(duration<double>(*options.durationS))
            : steady_clock::time_point::max();
    const auto interval =
        duration_cast<steady_clock::duration>(duration<double, std::milli>(options.intervalMs));
    auto nextProgress = start;
    const Interruptible interruptible;
    while (!g_interrupted.load() && (!options.count || passes + errors < *options.count)) {
        const auto passStart = steady_clock::now();
        if (passStart >= end) {
            break;
        }
        bool locked = false;
        try {
            if (options.lockEach) {
                m_sicl.ilock(id);
                locked = true;
            }
            std::int32_t actual = 0;
            m_sicl.iwrite(id, bytes, size, 1, actual);
            if (isQuery) {
                readResponse(id, kDefaultReadMax, response);
            }
            if (locked) {
                locked = false;
                m_sicl.iunlock(id);
            }
            stats.add(steady_clock::now() - passStart);
            ++passes;
        } catch (const SiclError& e) {
            ++errors;
            if (!firstError) {
                firstError = "error " + std::to_string(e.number()) + ": " + e.description();
            }
            if (locked) {
                try {
                    m_sicl.iunlock(id);
                } catch (const SiclError&) {
                }
            }
            if (options.stopOnError) {
                break;
            }
        }
        const auto now = steady_clock::now();
        if (options.progress && now >= nextProgress) {
            const double seconds = duration<double>(now - start).count();
            m_out.err() << "\rpasses " << passes << "  errors " << errors << "  "
                        << fixed(seconds > 0 ? static_cast<double>(passes) / seconds : 0.0, 1)
                        << " passes/s   " << std::flush;
            nextProgress = now + milliseconds(200);
        }
        if (interval.count() > 0) {
            sleepUntil(passStart + interval);
        }
    }
    if (options.progress) {
        m_out.err() << "\n";
    }
    const double seconds = duration<double>(steady_clock::now() - start).count();
    const double rate = seconds > 0 ? static_cast<double>(passes) / seconds : 0.0;
    Json object{{"command", "loop"},
                {"address", device.typed},
                {"passes", passes},
                {"errors", errors},
                {"first_error", firstError ? Json(jsonText(*firstError)) : Json(nullptr)},
                {"min_ms", stats.minMs()},
                {"mean_ms", stats.meanMs()},
                {"p50_ms", stats.percentileMs(0.50)},
                {"p95_ms", stats.percentileMs(0.95)},
                {"max_ms", stats.maxMs()},
                {"passes_per_s", rate}};
    std::string summary = "passes " + std::to_string(passes) + "  errors " +
                          std::to_string(errors) + "\nmin " + fixed(stats.minMs(), 3) + "  mean " +
                          fixed(stats.meanMs(), 3) + "  p50 " + fixed(stats.percentileMs(0.50), 3) +
                          "  p95 " + fixed(stats.percentileMs(0.95), 3) + "  max " +
                          fixed(stats.maxMs(), 3) + " ms\n" + fixed(rate, 1) + " passes/s";
    if (firstError) {
        summary += "\nfirst error: " + *firstError;
    }
    m_out.result(object, summary);
    return errors == 0;
}

void Runner::waitForSrqByPolling(milliseconds wait) {
    const SessionId intf = interfaceSession();
    const auto until =
        wait.count() > 0 ? steady_clock::now() + wait : steady_clock::time_point::max();
    const Interruptible interruptible;
    for (;;) {
        std::int16_t srq = 0;
        m_sicl.igpibbusstatus(intf, sicl::busstatus::kSrq, srq);
        if (srq != 0) {
            return;
        }
        if (g_interrupted.load()) {
            throw Failure("interrupted while waiting for SRQ");
        }
        if (steady_clock::now() >= until) {
            throw Failure("no SRQ within " + fixed(duration<double>(wait).count(), 3) + " s");
        }
        sleepUntil(std::min(until, steady_clock::now() + kSrqPollInterval));
    }
}

bool Runner::waitForSrqByInterrupt(milliseconds wait) {
    const auto until =
        wait.count() > 0 ? steady_clock::now() + wait : steady_clock::time_point::max();
    const Interruptible interruptible;
    const SessionId intf = interfaceSession();
    std::unique_ptr<vxi11::SrqChannel> channel;
    try {
        const vxi11::Address address = vxi11::parseAddress(interfaceAddress(m_settings.server));
        const auto limit = m_settings.timeoutMs > 0
                               ? net::Deadline::after(milliseconds(m_settings.timeoutMs))
                               : net::Deadline::never();
        channel = vxi11::SrqChannel::open(address, limit);
    } catch (const library::LibraryError& e) {
        if (refusesInterruptChannel(e.number())) {
            // Not every gateway has an interrupt channel; the SRQ line tells the same.
            m_out.err() << "srq: the gateway offers no interrupt channel (error " << e.number()
                        << ": " << e.text() << "); polling the SRQ line instead\n";
            return false;
        }
        throw SiclError(e.number(), e.text());
    }
    // The gateway calls only when SRQ rises: a line already up would never be reported.
    std::int16_t srq = 0;
    m_sicl.igpibbusstatus(intf, sicl::busstatus::kSrq, srq);
    while (srq == 0) {
        if (g_interrupted.load()) {
            throw Failure("interrupted while waiting for SRQ");
        }
        if (steady_clock::now() >= until) {
            throw Failure("no SRQ within " + fixed(duration<double>(wait).count(), 3) + " s");
        }
        // Short slices, so that Ctrl-C is seen soon.
        const auto slice = std::min(until, steady_clock::now() + milliseconds(100));
        try {
            srq = channel->wait(net::Deadline::at(slice)) ? 1 : 0;
        } catch (const library::LibraryError& e) {
            throw SiclError(e.number(), e.text());
        }
    }
    return true;
}

void Runner::srq(milliseconds wait, bool secondary, bool interruptChannel) {
    // A refused channel is known within a call or two: the wait starts again as polling.
    if (!interruptChannel || !waitForSrqByInterrupt(wait)) {
        waitForSrqByPolling(wait);
    }
    bool anyone = false;
    for (const auto& [pad, sad] : listeners(secondary)) {
        const DeviceAddress device = gpibAddress(pad, sad);
        std::int16_t stb = 0;
        m_sicl.ireadstb(deviceSession(device), stb);
        if ((stb & kRqs) == 0) {
            continue;
        }
        anyone = true;
        const int value = stb & 0xFF;
        m_out.result(Json{{"command", "srq"}, {"address", device.typed}, {"stb", value}},
                     device.typed + "\tstatus byte " + std::to_string(value) + " (" +
                         hexByte(value) + ")");
    }
    if (!anyone) {
        throw Failure("SRQ is asserted, but no listener requests service");
    }
}

} // namespace cli
