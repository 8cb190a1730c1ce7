// loop: the exchange again and again, measured; it rides out a gateway that goes away.
#include "cli/Commands.h"
#include "cli/CtrlC.h"
#include "cli/Errors.h"
#include "cli/LoopStats.h"
#include "library/LibraryError.h"

#include <unistd.h>

#include <sstream>

namespace cli {

namespace {

using namespace std::chrono;
using Clock = steady_clock;
using sicl::SessionId;
using sicl::SiclError;
namespace liberr = library::liberr;

/// While the link is down, tries to open it again at most this often (or per --interval).
constexpr milliseconds kLeastRelinkGap{100};
/// Most bytes of one answer.
constexpr std::size_t kLoopReadMax = 1024 * 1024;
/// How often the live progress line is redrawn.
constexpr milliseconds kProgressEvery{200};

std::string fixed(double value, int decimals) {
    std::ostringstream s;
    s.setf(std::ios::fixed);
    s.precision(decimals);
    s << value;
    return s.str();
}

/// One run of loop.
class LoopRun {
public:
    LoopRun(Context& c, DeviceAddress device)
        : m_c(c), m_r(c.runner), m_v(c.values), m_device(std::move(device)),
          m_bytes(m_r.message(*m_v.text)), m_isQuery(m_v.text->find('?') != std::string::npos),
          m_interval(duration_cast<Clock::duration>(duration<double, std::milli>(m_v.intervalMs))),
          m_progress(!c.out.json() && ::isatty(STDERR_FILENO) == 1) {}

    int run();

private:
    /// One exchange; false when it failed (counted, the first error kept).
    bool pass();
    /// While the link is down: opens the link again; false when it could not (a failed pass)
    /// or Ctrl-C came.
    bool relink();
    /// When the pass after one that started at `passStart` may start.
    Clock::time_point nextStart(Clock::time_point passStart) const;
    void failed(const std::string& error);
    bool finished(Clock::time_point now) const;
    void showProgress(Clock::time_point now);
    void printSummary();

    Context& m_c;
    Runner& m_r;
    const CommandValues& m_v;
    const DeviceAddress m_device;
    const std::string m_bytes;
    const bool m_isQuery;
    const Clock::duration m_interval;
    const bool m_progress;
    SessionId m_id = 0;
    std::string m_answer;
    LatencyStats m_stats;
    std::uint64_t m_passes = 0;
    std::uint64_t m_errors = 0;
    std::optional<std::string> m_firstError;
    Clock::time_point m_start;
    Clock::time_point m_end = Clock::time_point::max();
    Clock::time_point m_nextProgress;
    // The outage: since when the link is down, when it was last tried, and the totals.
    bool m_down = false;
    Clock::time_point m_downSince;
    Clock::time_point m_lastTry;
    Clock::duration m_downTotal{};
    std::uint64_t m_outagePasses = 0;
};

int LoopRun::run() {
    m_id = m_r.device(m_device);
    m_r.setErrorsAside(m_id, "loop");
    m_start = Clock::now();
    if (m_v.durationS) {
        m_end = m_start + duration_cast<Clock::duration>(duration<double>(*m_v.durationS));
    }
    m_nextProgress = m_start;
    const Interruptible interruptible;
    for (;;) {
        const auto passStart = Clock::now();
        const bool ok = m_down ? relink() && pass() : pass();
        if (interrupted() || (!ok && m_v.stopOnError)) {
            break;
        }
        const auto now = Clock::now();
        showProgress(now);
        // The loop ends when the next pass could not start before the deadline: no pause
        // after the last pass, and no flood of passes in the last interval.
        const auto next = std::max(nextStart(passStart), now);
        if (finished(next) || !sleepUntil(next)) {
            break;
        }
    }
    if (m_down) {
        m_downTotal += Clock::now() - m_downSince;
    }
    if (m_progress) {
        m_c.out.err() << "\n";
    }
    printSummary();
    return m_errors == 0 ? kOk : kFailed;
}

Clock::time_point LoopRun::nextStart(Clock::time_point passStart) const {
    const auto paced = passStart + m_interval;
    // While the link is down it is tried again at most once per interval, and not in a spin.
    return m_down
               ? std::max(paced, m_lastTry + std::max<Clock::duration>(m_interval, kLeastRelinkGap))
               : paced;
}

bool LoopRun::finished(Clock::time_point now) const {
    return (m_v.count && m_passes + m_errors >= *m_v.count) || now >= m_end;
}

void LoopRun::failed(const std::string& error) {
    ++m_errors;
    if (m_down) {
        ++m_outagePasses;
    }
    if (!m_firstError) {
        m_firstError = error;
    }
}

bool LoopRun::pass() {
    const auto start = Clock::now();
    bool locked = false;
    try {
        if (m_v.lockEach) {
            m_r.sicl().ilock(m_id);
            locked = true;
        }
        m_r.send(m_id, m_bytes);
        if (m_isQuery && m_r.read(m_id, kLoopReadMax, std::nullopt, m_answer).truncated) {
            throw Failure("an answer longer than 1 MiB (cut, the rest dropped)");
        }
        if (locked) {
            locked = false;
            m_r.sicl().iunlock(m_id);
        }
        m_r.checkErrors(m_id);
        m_stats.add(Clock::now() - start);
        ++m_passes;
        return true;
    } catch (const SiclError& e) {
        if (e.number() == liberr::kInterrupted && interrupted()) {
            return false; // Ctrl-C: not a failure of the exchange
        }
        if (e.number() == liberr::kConnectionLost) {
            m_r.connectionLost();
            m_down = true;
            m_downSince = m_lastTry = Clock::now();
        }
        failed("error " + std::to_string(e.number()) + ": " + e.description());
    } catch (const Failure& e) {
        failed(e.what());
    }
    if (locked && !m_down) {
        try {
            m_r.sicl().iunlock(m_id);
        } catch (const SiclError&) {
        }
    }
    return false;
}

bool LoopRun::relink() {
    m_lastTry = Clock::now();
    try {
        m_id = m_r.device(m_device);
    } catch (const SiclError& e) {
        if (!interrupted()) {
            failed("error " + std::to_string(e.number()) + ": " + e.description());
        }
        return false;
    }
    m_down = false;
    m_downTotal += Clock::now() - m_downSince;
    return true;
}

void LoopRun::showProgress(Clock::time_point now) {
    if (!m_progress || now < m_nextProgress) {
        return;
    }
    const double seconds = duration<double>(now - m_start).count();
    m_c.out.err() << "\rpasses " << m_passes << "  errors " << m_errors << "  "
                  << fixed(seconds > 0 ? static_cast<double>(m_passes) / seconds : 0.0, 1)
                  << " passes/s" << (m_down ? "  (no link)" : "") << "   " << std::flush;
    m_nextProgress = now + kProgressEvery;
}

void LoopRun::printSummary() {
    const double seconds = duration<double>(Clock::now() - m_start).count();
    const double rate = seconds > 0 ? static_cast<double>(m_passes) / seconds : 0.0;
    const bool any = m_passes > 0;
    // Without a pass there is nothing to measure: null and "-", never a made-up 0.
    auto stat = [&](double ms) { return any ? Json(ms) : Json(nullptr); };
    auto shown = [&](double ms) { return any ? fixed(ms, 3) : std::string("-"); };
    const double outageS = duration<double>(m_downTotal).count();
    const Json object{{"command", "loop"},
                      {"address", m_device.typed},
                      {"passes", m_passes},
                      {"errors", m_errors},
                      {"first_error", m_firstError ? Json(jsonText(*m_firstError)) : Json(nullptr)},
                      {"min_ms", stat(m_stats.minMs())},
                      {"mean_ms", stat(m_stats.meanMs())},
                      {"p50_ms", stat(m_stats.percentileMs(0.50))},
                      {"p95_ms", stat(m_stats.percentileMs(0.95))},
                      {"max_ms", stat(m_stats.maxMs())},
                      {"passes_per_s", rate},
                      {"outage_passes", m_outagePasses},
                      {"outage_s", outageS}};
    std::string summary = "passes " + std::to_string(m_passes) + "  errors " +
                          std::to_string(m_errors) + "\nmin " + shown(m_stats.minMs()) + "  mean " +
                          shown(m_stats.meanMs()) + "  p50 " + shown(m_stats.percentileMs(0.50)) +
                          "  p95 " + shown(m_stats.percentileMs(0.95)) + "  max " +
                          shown(m_stats.maxMs()) + " ms\n" + fixed(rate, 1) + " passes/s";
    if (m_firstError) {
        summary += "\nfirst error: " + *m_firstError;
    }
    if (m_outagePasses > 0 || m_downTotal.count() > 0) {
        summary += "\noutage: " + std::to_string(m_outagePasses) + " passes failed, " +
                   fixed(outageS, 3) + " s without a link";
    }
    m_c.out.result(object, summary);
}

} // namespace

int runLoop(Context& c) {
    LoopRun run(c, c.device(TextNeed::Required));
    return run.run();
}

} // namespace cli
