// The options of siclquill-gateway, one table of rows.

#include "gateway/Options.h"

#include "gateway/devices/DeviceName.h"
#include "hislip/codec/Message.h"
#include "vxi11/codec/Portmap.h"

#include <algorithm>
#include <cctype>
#include <iostream>
#include <string>

namespace gateway {

namespace {

constexpr long kMaxPort = 65535;
constexpr long kMaxAddress = 30;
constexpr long kMaxIdleSeconds = 86400;
/// Longest number an option takes.
constexpr std::size_t kMaxDigits = 9;
/// What --max-recv-size takes: a gateway must take 1024 bytes; beyond 16 MiB a hostile client
/// could make every connection hold a large buffer.
constexpr long kMinRecvSize = 1024;
constexpr long kMaxRecvSize = 16L << 20;
/// Longest LAN instrument name (the library sends names of up to 64 bytes).
constexpr std::size_t kMaxDeviceName = 64;
/// Where raw SCPI sockets usually listen.
constexpr std::uint16_t kDefaultSocketPort = 5025;
/// The serial speeds --baud takes.
constexpr long kMinBaud = 300;
constexpr long kMaxBaud = 4000000;

bool parseNumber(std::string_view text, long low, long high, long& out) {
    if (text.empty() || text.size() > kMaxDigits) {
        return false;
    }
    long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        v = v * 10 + (c - '0');
    }
    if (v < low || v > high) {
        return false;
    }
    out = v;
    return true;
}

bool parseInstrument(std::string_view text, InstrumentConfig& out) {
    std::string_view address = text;
    const std::size_t eq = text.find('=');
    if (eq != std::string_view::npos) {
        address = text.substr(0, eq);
        out.idn = std::string(text.substr(eq + 1));
    }
    long pad = 0;
    long sad = 0;
    const std::size_t comma = address.find(',');
    if (!parseNumber(address.substr(0, comma), 0, kMaxAddress, pad)) {
        return false;
    }
    out.pad = static_cast<int>(pad);
    if (comma != std::string_view::npos) {
        if (!parseNumber(address.substr(comma + 1), 0, kMaxAddress, sad)) {
            return false;
        }
        out.sad = static_cast<int>(sad);
    }
    if (eq == std::string_view::npos) {
        out.idn = "Siclquill Simulated Instruments,GP-" + std::to_string(pad) + ",0,1.0";
    }
    return true;
}

/// A LAN instrument's name: what the library sends as it is, and nothing that names the bus.
bool parseDevice(std::string_view text, InstrumentConfig& out) {
    const std::size_t eq = text.find('=');
    const std::string_view name = text.substr(0, eq);
    const auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    if (name.empty() || name.size() > kMaxDeviceName || !letter(name.front())) {
        return false;
    }
    for (char c : name) {
        if (!letter(c) && !(c >= '0' && c <= '9') && c != '_' && c != '.') {
            return false;
        }
    }
    std::string lower;
    for (char c : name.substr(0, 4)) {
        lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    if (lower == "gpib" || lower == "hpib") {
        return false;
    }
    out = lanInstrument(std::string(name), eq == std::string_view::npos
                                               ? std::string()
                                               : std::string(text.substr(eq + 1)));
    return true;
}

int usageError(const std::string& message) {
    std::cerr << "siclquill-gateway: " << message << "\n"
              << "Try 'siclquill-gateway --help'.\n";
    return 2;
}

/// A port for --hislip or --socket: the number given, or `standard` when none is.
bool streamPort(std::string_view value, std::uint16_t standard, std::optional<std::uint16_t>& out) {
    long port = standard;
    if (!value.empty() && !parseNumber(value, 0, kMaxPort, port)) {
        return false;
    }
    out = static_cast<std::uint16_t>(port);
    return true;
}

/// Whether a value follows an option: never, always, or when the next word is a number.
enum class Value { None, Required, OptionalNumber };

/// One option: its name, whether a value follows it, what it does (false: the value is not
/// one it takes), and what a missing or bad value is told.
struct Option {
    std::string_view name;
    Value value;
    bool (*apply)(CommandLine& line, std::string_view value);
    const char* needs;
};

/// A number `low`-`high` from `value` into `out`.
template <typename T>
bool number(std::string_view value, long low, long high, T& out) {
    long n = 0;
    if (!parseNumber(value, low, high, n)) {
        return false;
    }
    out = static_cast<T>(n);
    return true;
}

bool beVerbose(CommandLine& line, std::string_view) {
    line.verbose = true;
    return true;
}

const Option kOptions[] = {
    {"--portmapper", Value::Required,
     [](CommandLine& l, std::string_view v) {
         return number(v, 0, kMaxPort, l.config.portmapperPort);
     },
     "--portmapper needs a port number 0-65535"},
    {"--register", Value::None,
     [](CommandLine& l, std::string_view) {
         l.config.registerWithSystemPortmapper = true;
         return true;
     },
     nullptr},
    {"--listen", Value::Required,
     [](CommandLine& l, std::string_view v) {
         l.config.listenAddress = std::string(v);
         return true;
     },
     "--listen needs an address"},
    {"--bus-address", Value::Required,
     [](CommandLine& l, std::string_view v) {
         return number(v, 0, kMaxAddress, l.config.busAddress);
     },
     "--bus-address needs a number 0-30"},
    {"--instrument", Value::Required,
     [](CommandLine& l, std::string_view v) {
         InstrumentConfig instrument;
         if (!parseInstrument(v, instrument)) {
             return false;
         }
         l.instruments.push_back(instrument);
         return true;
     },
     "--instrument needs PAD[,SAD][=IDN] with addresses 0-30"},
    {"--device", Value::Required,
     [](CommandLine& l, std::string_view v) {
         InstrumentConfig device;
         if (!parseDevice(v, device)) {
             return false;
         }
         l.devices.push_back(device);
         return true;
     },
     "--device needs NAME[=IDN]: a letter, then letters, digits, _ and ., at most 64, not gpib "
     "or hpib"},
    {"--max-recv-size", Value::Required,
     [](CommandLine& l, std::string_view v) {
         return number(v, kMinRecvSize, kMaxRecvSize, l.config.limits.maxRecvSize);
     },
     "--max-recv-size needs a number of bytes 1024-16777216"},
    {"--idle-timeout", Value::Required,
     [](CommandLine& l, std::string_view v) {
         long seconds = 0;
         if (!number(v, 0, kMaxIdleSeconds, seconds)) {
             return false;
         }
         l.config.limits.idleTimeout = std::chrono::seconds(seconds);
         return true;
     },
     "--idle-timeout needs a number of seconds 0-86400"},
    {"--demo", Value::None,
     [](CommandLine& l, std::string_view) {
         l.demo = true;
         return true;
     },
     nullptr},
    {"--hislip", Value::OptionalNumber,
     [](CommandLine& l, std::string_view v) {
         return streamPort(v, hislip::kDefaultPort, l.config.hislipPort);
     },
     "--hislip takes a port number 0-65535"},
    {"--hislip-mode", Value::Required,
     [](CommandLine& l, std::string_view v) {
         if (v != "synchronized" && v != "overlapped") {
             return false;
         }
         l.config.hislip.overlapped = v == "overlapped";
         return true;
     },
     "--hislip-mode needs synchronized or overlapped"},
    {"--socket", Value::OptionalNumber,
     [](CommandLine& l, std::string_view v) {
         return streamPort(v, kDefaultSocketPort, l.config.socketPort);
     },
     "--socket takes a port number 0-65535"},
    {"--plusplus", Value::Required,
     [](CommandLine& l, std::string_view v) {
         long port = 0;
         if (v != "pty" && !parseNumber(v, 0, kMaxPort, port)) {
             return false;
         }
         l.config.plusplus = std::string(v);
         return true;
     },
     "--plusplus needs a port number 0-65535 or pty"},
    {"--plusplus-flavour", Value::Required,
     [](CommandLine& l, std::string_view v) {
         if (v != "ar488" && v != "prologix") {
             return false;
         }
         l.config.plusplusFlavour =
             v == "ar488" ? emulator::Flavour::Ar488 : emulator::Flavour::Prologix;
         return true;
     },
     "--plusplus-flavour needs ar488 or prologix"},
    {"--adapter", Value::Required,
     [](CommandLine& l, std::string_view v) {
         const auto device = adapter::parseAdapterPlace(v);
         if (!device) {
             return false;
         }
         l.adapter.device = *device;
         l.bridge = true;
         return true;
     },
     "--adapter needs a serial device path or HOST[:PORT]"},
    {"--baud", Value::Required,
     [](CommandLine& l, std::string_view v) {
         return number(v, kMinBaud, kMaxBaud, l.adapter.baud);
     },
     "--baud needs a speed 300-4000000"},
    {"--adapter-flavour", Value::Required,
     [](CommandLine& l, std::string_view v) {
         const auto flavour = adapter::parseFlavour(v);
         if (!flavour) {
             return false;
         }
         l.adapter.flavour = *flavour;
         return true;
     },
     "--adapter-flavour needs auto, prologix or ar488"},
    {"--verbose", Value::None, beVerbose, nullptr},
    {"-v", Value::None, beVerbose, nullptr},
};

/// Reads one option (and its value) at argv[i]; false with `line.exitStatus` set to stop.
bool readOption(int argc, char** argv, int& i, CommandLine& line) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
        std::cout << usageText();
        line.exitStatus = 0;
        return false;
    }
    const auto* option = std::find_if(std::begin(kOptions), std::end(kOptions),
                                      [&](const Option& o) { return o.name == arg; });
    if (option == std::end(kOptions)) {
        line.exitStatus = usageError("unknown option " + std::string(arg));
        return false;
    }
    std::string_view value;
    if (option->value == Value::Required) {
        if (i + 1 >= argc) {
            line.exitStatus = usageError(option->needs);
            return false;
        }
        value = argv[++i];
    } else if (option->value == Value::OptionalNumber && i + 1 < argc && argv[i + 1][0] >= '0' &&
               argv[i + 1][0] <= '9') {
        value = argv[++i];
    }
    if (!option->apply(line, value)) {
        line.exitStatus = usageError(option->needs);
        return false;
    }
    return true;
}

} // namespace

CommandLine readCommandLine(int argc, char** argv) {
    CommandLine line;
    line.config.portmapperPort = vxi11::pmap::kDefaultPort; // where clients look for it
    for (int i = 1; i < argc; ++i) {
        if (!readOption(argc, argv, i, line)) {
            return line;
        }
    }
    if (line.bridge && (line.demo || !line.instruments.empty() || !line.devices.empty() ||
                        line.config.plusplus || line.config.socketPort)) {
        line.exitStatus = usageError("--adapter serves a real bus: --demo, --instrument, "
                                     "--device, --plusplus and --socket do not go with it");
        return line;
    }
    const bool standard = line.config.registerWithSystemPortmapper ||
                          line.config.portmapperPort == vxi11::pmap::kDefaultPort;
    if (line.bridge && !line.config.hislipPort) {
        line.config.hislipPort = standard ? hislip::kDefaultPort : 0;
    }
    if (line.demo) {
        line.config.instruments = demoBench();
        line.config.lanInstruments = {demoLanInstrument()};
        // The standard ports beside a portmapper on its own; free ones beside one on a free
        // port, so that simulators run side by side (tests) never clash.
        if (!line.config.hislipPort) {
            line.config.hislipPort = standard ? hislip::kDefaultPort : 0;
        }
        if (!line.config.socketPort) {
            line.config.socketPort = standard ? kDefaultSocketPort : 0;
        }
    }
    for (const auto& device : line.devices) {
        for (const auto& other : line.config.lanInstruments) {
            if (sameIgnoringCase(other.name, device.name)) {
                line.exitStatus = usageError("two LAN instruments named " + device.name);
                return line;
            }
        }
        line.config.lanInstruments.push_back(device);
    }
    for (const auto& inst : line.instruments) {
        for (const auto& other : line.config.instruments) {
            if (other.pad == inst.pad && other.sad == inst.sad) {
                line.exitStatus =
                    usageError("two instruments at address " + std::to_string(inst.pad) +
                               (inst.sad ? "," + std::to_string(*inst.sad) : std::string()));
                return line;
            }
        }
        line.config.instruments.push_back(inst);
    }
    return line;
}

} // namespace gateway
