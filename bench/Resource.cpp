// Resource mode of siclquill-bench: the query exchange and the bulk figures over whichever
// transport an address picks, each against the floor of that transport.
#include "bench/Modes.h"
#include "bench/Query.h"

#include "lan/LanLibrary.h"
#include "library/Resource.h"
#include "sicl/Sicl32Module.h"

#include <algorithm>
#include <ostream>
#include <string>

namespace bench {

namespace {

/// The exchange's figures against the floor of `kind`, measured on a session at `address`.
void measureExchange(const std::string& address, library::Resource::Kind kind, int count,
                     std::ostream& out) {
    lan::LanLibrary lan;
    sicl::Sicl32Module wrappers(lan);
    const Turns idn = measureQueries(wrappers, address, std::max(1, count), kind);
    const auto roundTrips = idnExchange(kind, 1).size();
    const double floor = median(idn.floors);
    out << "transport " << library::transportName(kind) << '\n'
        << "idn_round_trips " << roundTrips << '\n'
        << "roundtrip_floor_us " << floor / static_cast<double>(roundTrips) << '\n'
        << "idn_floor_us " << floor << '\n'
        << "idn_exchange_us " << median(idn.samples) << '\n'
        << "idn_ratio " << median(idn.ratios) << '\n'
        << "idn_floor_same_cpu_us " << median(idn.same) << '\n';
    // Not measured when this process may use one CPU only.
    if (median(idn.cross) > 0) {
        out << "idn_floor_cross_cpu_us " << median(idn.cross) << '\n';
    }
}

} // namespace

int runResource(const Options& options, std::ostream& out, std::ostream& err) {
    try {
        const library::Resource resource = library::parseResource(options.resource);
        measureExchange(options.resource, resource.kind, options.count, out);
    } catch (...) {
        return reportFailure(err);
    }
    const std::uint64_t bytes = options.bulk > 0 ? options.bulk : kResourceBulk;
    return runBulkAt(options.resource, bytes, options.runs, out, err);
}

} // namespace bench
