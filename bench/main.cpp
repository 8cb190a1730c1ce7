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

} // namespace

int main(int argc, char** argv) {
    bench::Options options;
    bool haveServer = false;
    bool haveAddress = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) {
            return usage();
        }
        const char* value = argv[++i];
        if (arg == "--server") {
            options.server = value;
            haveServer = true;
        } else if (arg == "--address") {
            haveAddress = toInt(value, options.address);
            if (!haveAddress) {
                return usage();
            }
        } else if (arg == "--count") {
            if (!toInt(value, options.count) || options.count < 1) {
                return usage();
            }
        } else if (arg == "--walks") {
            if (!toInt(value, options.walks) || options.walks < 1) {
                return usage();
            }
        } else if (arg == "--bulk") {
            if (!toBytes(value, options.bulk)) {
                return usage();
            }
        } else if (arg == "--resource") {
            options.resource = value;
            if (options.resource.empty()) {
                return usage();
            }
        } else if (arg == "--relay") {
            options.relay = value;
            if (options.relay.empty()) {
                return usage();
            }
        } else if (arg == "--plusplus") {
            options.plusplus = value;
            if (options.plusplus.empty()) {
                return usage();
            }
        } else if (arg == "--device") {
            options.device = value;
            haveAddress = !options.device.empty();
        } else if (arg == "--runs") {
            if (!toInt(value, options.runs) || options.runs < 1) {
                return usage();
            }
        } else if (arg == "--clients") {
            if (!toInt(value, options.clients) || options.clients < 1 ||
                options.clients > bench::kMaxLoadClients) {
                return usage();
            }
        } else {
            return usage();
        }
    }
    if (!options.resource.empty()) {
        // The resource names the instrument and the transport; the load mode is VXI-11's.
        if (haveServer || haveAddress || options.clients > 0) {
            return usage();
        }
        return bench::run(options, std::cout, std::cerr);
    }
    if (!options.plusplus.empty() || !options.relay.empty()) {
        if (!haveServer || haveAddress || options.clients > 0 || options.plusplus.empty()) {
            return usage();
        }
        return bench::run(options, std::cout, std::cerr);
    }
    if (!haveServer || !haveAddress || (!options.device.empty() && options.bulk == 0)) {
        return usage();
    }
    return bench::run(options, std::cout, std::cerr);
}
