// siclquill-bench: how fast the instrument library works a gateway, through the wrappers, and
// how a gateway holds up under many links at once (--clients).
#include "bench/Bench.h"

#include <cstdlib>
#include <iostream>
#include <string>

namespace {

int usage() {
    std::cerr << "usage: siclquill-bench --server TEXT --address N [--count K] [--walks W]\n"
                 "                       [--clients C]\n"
                 "       siclquill-bench --server TEXT (--address N | --device NAME)\n"
                 "                       --bulk BYTES [--runs R]\n"
                 "       siclquill-bench --resource RESOURCE [--count K] [--bulk BYTES]\n"
                 "                       [--runs R]\n"
                 "       siclquill-bench --server TEXT --plusplus HOST:PORT [--relay HOST:PORT]\n"
                 "                       [--count K] [--bulk BYTES] [--runs R]\n"
                 "  TEXT as typed in the window's server box, e.g. 127.0.0.1:40111\n"
                 "  K exchanges for the medians (default 100), W discovery walks (default 5)\n"
                 "  C > 0: load mode, C links at once, each doing K \"*IDN?\" exchanges\n"
                 "  BYTES: bulk mode, R times (default 5) a waveform block of BYTES (up to\n"
                 "  268435456) read and written, each against a bare TCP transfer; NAME a\n"
                 "  VXI-11 device name such as inst0\n"
                 "  RESOURCE: any address, e.g. TCPIP::127.0.0.1::hislip0,4880::INSTR,\n"
                 "  TCPIP::127.0.0.1::5025::SOCKET or lan;vxi-11[127.0.0.1:111]:inst0; the\n"
                 "  exchange against its transport's bare round trips, then a block of BYTES\n"
                 "  (default 67108864) read and written R times against bare TCP\n"
                 "  HOST:PORT: adapter mode, the bridge at TEXT (siclquill-gateway --adapter)\n"
                 "  against a bare ++ client on the adapter at HOST:PORT (a simulator's\n"
                 "  --plusplus): K exchanges with 22, then R times a block of BYTES (default\n"
                 "  1048576) read from 9 and 100000 bytes written to it; --relay: the same\n"
                 "  through a relay that only copies bytes, to a third adapter\n";
    return 2;
}

bool toBytes(const char* text, std::uint64_t& out) {
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text, &end, 10);
    if (end == text || *end != '\0' || text[0] == '-' || v == 0 || v > (1ull << 28)) {
        return false;
    }
    out = v;
    return true;
}

bool toInt(const char* text, int& out) {
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < 0 || v > 1000000) {
        return false;
    }
    out = static_cast<int>(v);
    return true;
}

/// The command line as read: the options, and whether a server and an instrument were named.
struct CommandLine {
    bench::Options options;
    bool haveServer = false;
    bool haveAddress = false;
};

/// `value` into `field`; false when it is empty.
bool text(const char* value, std::string& field) {
    field = value;
    return !field.empty();
}

/// Takes one option and its value; false when it is unknown or the value is not one it takes.
bool readOption(const std::string& arg, const char* value, CommandLine& line) {
    bench::Options& o = line.options;
    if (arg == "--server") {
        o.server = value;
        line.haveServer = true;
        return true;
    }
    if (arg == "--address") {
        line.haveAddress = toInt(value, o.address);
        return line.haveAddress;
    }
    if (arg == "--device") {
        line.haveAddress = text(value, o.device);
        return true;
    }
    if (arg == "--count" || arg == "--walks" || arg == "--runs") {
        int& n = arg == "--count" ? o.count : arg == "--walks" ? o.walks : o.runs;
        return toInt(value, n) && n >= 1;
    }
    if (arg == "--clients") {
        return toInt(value, o.clients) && o.clients >= 1 && o.clients <= bench::kMaxLoadClients;
    }
    if (arg == "--bulk") {
        return toBytes(value, o.bulk);
    }
    if (arg == "--resource" || arg == "--plusplus" || arg == "--relay") {
        return text(value, arg == "--resource"   ? o.resource
                           : arg == "--plusplus" ? o.plusplus
                                                 : o.relay);
    }
    return false;
}

/// True when the options make one mode: a resource alone; the bridge and a `++` adapter; or
/// a server and an instrument.
bool oneMode(const CommandLine& line) {
    const bench::Options& o = line.options;
    if (!o.resource.empty()) {
        // The resource names the instrument and the transport; the load mode is VXI-11's.
        return !line.haveServer && !line.haveAddress && o.clients == 0;
    }
    if (!o.plusplus.empty() || !o.relay.empty()) {
        return line.haveServer && !line.haveAddress && o.clients == 0 && !o.plusplus.empty();
    }
    return line.haveServer && line.haveAddress && (o.device.empty() || o.bulk > 0);
}

} // namespace

int main(int argc, char** argv) {
    CommandLine line;
    for (int i = 1; i < argc; i += 2) {
        if (i + 1 >= argc || !readOption(argv[i], argv[i + 1], line)) {
            return usage();
        }
    }
    if (!oneMode(line)) {
        return usage();
    }
    return bench::run(line.options, std::cout, std::cerr);
}
