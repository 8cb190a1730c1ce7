// siclquill-startup-bench: time from process start to the window's first paint, and resident
// memory then. The program itself stays as it is: this harness starts the same window the
// same way main() does, in a child process of its own, so the figure includes loading the
// shared libraries.
//
//   siclquill-startup-bench [--runs N]   N runs (default 7); prints medians
//
// Each run starts two children in turn: the program's window, and an empty Qt window of the
// same size (the reference, measured under the same load).
//
// Needs a display (Xvfb: xvfb-run -a; QT_QPA_PLATFORM=offscreen works for a smoke run).
#include "app/Reporting.h"
#include "app/frm1.h"
#include "lan/LanLibrary.h"

#include <QApplication>
#include <QEvent>
#include <QTimer>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr const char* kStartEnv = "SICLQUILL_STARTUP_T0_NS";
constexpr const char* kBareEnv = "SICLQUILL_STARTUP_BARE";

long long monotonicNs() {
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

/// A "Vm...:" line of /proc/self/status in kB, or -1.
long statusKb(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::size_t n = std::strlen(field);
    while (std::getline(in, line)) {
        if (line.compare(0, n, field) == 0) {
            return std::strtol(line.c_str() + n, nullptr, 10);
        }
    }
    return -1;
}

/// Notes the first paint of any widget; once it has been flushed, prints and ends.
class FirstPaint : public QObject {
public:
    explicit FirstPaint(long long startNs) : m_start(startNs) {}
    /// Times (ms since start) of main() entered, QApplication made, window made and shown.
    double mainMs = 0, appMs = 0, windowMs = 0;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (!m_seen && event->type() == QEvent::Paint) {
            m_seen = true;
            // Queued: runs after the paint has been drawn and the backing store flushed.
            QTimer::singleShot(0, this, [this] {
                const double ms = static_cast<double>(monotonicNs() - m_start) / 1e6;
                std::printf("first_paint_ms %.2f rss_kb %ld hwm_kb %ld main_ms %.2f app_ms %.2f "
                            "window_ms %.2f\n",
                            ms, statusKb("VmRSS:"), statusKb("VmHWM:"), mainMs, appMs, windowMs);
                std::fflush(stdout);
                QCoreApplication::exit(0);
            });
        }
        return QObject::eventFilter(watched, event);
    }

private:
    long long m_start;
    bool m_seen = false;
};

/// The window as main() starts it.
int child(int argc, char** argv, long long startNs) {
    const auto since = [startNs] { return static_cast<double>(monotonicNs() - startNs) / 1e6; };
    const double mainMs = since();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("siclquill"));
    FirstPaint watch(startNs);
    watch.mainMs = mainMs;
    watch.appMs = since();
    app.installEventFilter(&watch);
    if (std::getenv(kBareEnv) != nullptr) {
        // The reference: an empty window of the same size, the least any Qt window costs.
        QWidget bare;
        bare.setFixedSize(658, 581);
        bare.show();
        watch.windowMs = since();
        return QApplication::exec();
    }
    lan::LanLibrary library;
    PlatformBeep beep;
    frm1 window(library, beep);
    window.show();
    watch.windowMs = since();
    return QApplication::exec();
}

struct Sample {
    double paintMs = -1;
    long rssKb = -1;
    long hwmKb = -1;
    double mainMs = -1, appMs = -1, windowMs = -1;
};

/// Starts this program as a child and reads what it prints.
bool runChild(const char* self, bool bare, Sample& out) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) {
        return false;
    }
    const std::string start = std::to_string(monotonicNs());
    const pid_t pid = ::fork();
    if (pid < 0) {
        return false;
    }
    if (pid == 0) {
        ::dup2(pipeFds[1], STDOUT_FILENO);
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        ::setenv(kStartEnv, start.c_str(), 1);
        if (bare) {
            ::setenv(kBareEnv, "1", 1);
        }
        ::execl(self, self, static_cast<char*>(nullptr));
        std::_Exit(127);
    }
    ::close(pipeFds[1]);
    std::string text;
    char buf[256];
    ssize_t n = 0;
    while ((n = ::read(pipeFds[0], buf, sizeof buf)) > 0) {
        text.append(buf, static_cast<std::size_t>(n));
    }
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    std::sscanf(text.c_str(),
                "first_paint_ms %lf rss_kb %ld hwm_kb %ld main_ms %lf app_ms %lf window_ms %lf",
                &out.paintMs, &out.rssKb, &out.hwmKb, &out.mainMs, &out.appMs, &out.windowMs);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 && out.paintMs >= 0;
}

template <typename T>
T median(std::vector<T> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 == 1 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

} // namespace

int main(int argc, char** argv) {
    if (const char* t0 = std::getenv(kStartEnv)) {
        return child(argc, argv, std::atoll(t0));
    }
    int runs = 7;
    if (argc == 3 && std::strcmp(argv[1], "--runs") == 0) {
        runs = std::atoi(argv[2]);
    } else if (argc != 1) {
        std::fprintf(stderr, "usage: siclquill-startup-bench [--runs N]\n");
        return 2;
    }
    runs = std::clamp(runs, 1, 100);
    std::vector<double> paint, mainAt, appAt, windowAt, bare, ratio;
    std::vector<long> rss, hwm, bareRss;
    for (int i = 0; i < runs; ++i) {
        // The bare window and the program's window take turns, so both see the same load.
        Sample b;
        if (!runChild("/proc/self/exe", true, b)) {
            std::fprintf(stderr, "siclquill-startup-bench: bare run %d did not paint\n", i + 1);
            return 1;
        }
        bare.push_back(b.paintMs);
        Sample s;
        if (!runChild("/proc/self/exe", false, s)) {
            std::fprintf(stderr, "siclquill-startup-bench: run %d did not paint\n", i + 1);
            return 1;
        }
        ratio.push_back(s.paintMs / b.paintMs);
        bareRss.push_back(b.rssKb);
        paint.push_back(s.paintMs);
        mainAt.push_back(s.mainMs);
        appAt.push_back(s.appMs);
        windowAt.push_back(s.windowMs);
        rss.push_back(s.rssKb);
        hwm.push_back(s.hwmKb);
    }
    std::printf("startup_runs %d\nstartup_first_paint_ms %.2f\nstartup_first_paint_min_ms "
                "%.2f\nstartup_rss_mb %.1f\nstartup_hwm_mb %.1f\n",
                runs, median(paint), *std::min_element(paint.begin(), paint.end()),
                static_cast<double>(median(rss)) / 1024.0,
                static_cast<double>(median(hwm)) / 1024.0);
    // Where the time goes: libraries loaded (main entered), QApplication and its platform
    // connection, the window built and shown, then the first paint.
    std::printf("startup_bare_first_paint_ms %.2f\nstartup_ratio_to_bare %.2f\n"
                "startup_bare_rss_mb %.1f\n",
                median(bare), median(ratio), static_cast<double>(median(bareRss)) / 1024.0);
    std::printf("startup_main_entered_ms %.2f\nstartup_qapplication_ms %.2f\n"
                "startup_window_shown_ms %.2f\n",
                median(mainAt), median(appAt), median(windowAt));
    return 0;
}
