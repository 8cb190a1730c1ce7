// Load mode of siclquill-bench: many links at once, each on its own connection and thread.
#include "bench/Modes.h"

#include "lan/LanLibrary.h"
#include "sicl/Sicl32Module.h"

#include <algorithm>
#include <barrier>
#include <chrono>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;

/// The value below which `share` of the sorted samples lie.
double percentile(std::vector<double> v, double share) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    const auto i = static_cast<std::size_t>(share * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

/// What one load client measured.
struct Client {
    std::vector<double> samples;
    long errors = 0;
    std::string firstError;

    void fail(long n, const std::string& why) {
        errors += n;
        if (firstError.empty()) {
            firstError = why;
        }
    }
};

/// Every link is open before the clock starts, so the figure is the exchanges alone: each
/// client opens its link, then waits at `ready` and `go` with the others and the clock.
struct StartLine {
    std::barrier<> ready;
    std::barrier<> go;
};

/// One load client: opens a link to `address`, waits for the start, makes `count` "*IDN?"
/// exchanges and closes the link, each error counted in `me`.
void runClient(sicl::Sicl32Module& wrappers, const std::string& address, int count,
               StartLine& start, Client& me) {
    sicl::SessionId id = 0;
    try {
        id = wrappers.iopen(address);
    } catch (const sicl::SiclError& e) {
        me.fail(count, "open: " + e.description());
    }
    start.ready.arrive_and_wait();
    start.go.arrive_and_wait();
    if (id == 0) {
        return;
    }
    me.samples.reserve(static_cast<std::size_t>(count));
    std::string buf(4096, ' ');
    for (int i = 0; i < count; ++i) {
        std::int32_t actual = 0;
        std::int32_t reason = 0;
        try {
            const auto begin = Clock::now();
            wrappers.iwrite(id, "*IDN?\n", 6, 1, actual);
            wrappers.iread(id, buf, 4096, reason, actual);
            me.samples.push_back(micros(Clock::now() - begin));
            if (actual <= 0) {
                me.fail(1, "empty answer");
            }
        } catch (const sicl::SiclError& e) {
            me.fail(1, e.description());
        }
    }
    try {
        wrappers.iclose(id);
    } catch (const sicl::SiclError& e) {
        me.fail(1, "close: " + e.description());
    }
}

/// Prints the load figures of `results`, run in `seconds`; returns the errors.
long report(const std::vector<Client>& results, double seconds, std::ostream& out,
            std::ostream& err) {
    std::vector<double> all;
    long errors = 0;
    for (const Client& c : results) {
        all.insert(all.end(), c.samples.begin(), c.samples.end());
        errors += c.errors;
        if (!c.firstError.empty()) {
            err << "siclquill-bench: " << c.firstError << '\n';
        }
    }
    const auto done = static_cast<double>(all.size());
    out << "clients " << results.size() << '\n'
        << "exchanges " << all.size() << '\n'
        << "exchanges_per_s " << (seconds > 0 ? done / seconds : 0) << '\n'
        << "load_exchange_p50_us " << percentile(all, 0.5) << '\n'
        << "load_exchange_p99_us " << percentile(all, 0.99) << '\n'
        << "errors " << errors << '\n';
    return errors;
}

} // namespace

int runLoad(const Options& options, std::ostream& out, std::ostream& err) {
    lan::LanLibrary vxi;
    sicl::Sicl32Module wrappers(vxi);
    const int clients = std::clamp(options.clients, 1, kMaxLoadClients);
    const int count = std::max(1, options.count);

    std::vector<Client> results(static_cast<std::size_t>(clients));
    StartLine start{std::barrier<>(clients + 1), std::barrier<>(clients + 1)};
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        const std::string address =
            "lan;vxi-11[" + options.server + "]:gpib, " + std::to_string(loadAddress(c));
        threads.emplace_back([&, address, c] {
            runClient(wrappers, address, count, start, results[static_cast<std::size_t>(c)]);
        });
    }
    start.ready.arrive_and_wait();
    const auto begin = Clock::now();
    start.go.arrive_and_wait();
    for (auto& t : threads) {
        t.join();
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    return report(results, seconds, out, err) == 0 ? 0 : 1;
}

} // namespace bench
