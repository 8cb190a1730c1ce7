// The program: one window on the instrument library.
#include "app/Reporting.h"
#include "app/frm1.h"
#include "lan/LanLibrary.h"
#include "trace/TracingLibrary.h"

#include <QApplication>

#include <csignal>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>

namespace {

/// The file of `--trace FILE` or `--trace=FILE`, if given.
std::optional<std::string> traceOption(int argc, char** argv) {
    std::optional<std::string> path;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--trace") == 0 && i + 1 < argc) {
            path = argv[++i];
        } else if (std::strncmp(argv[i], "--trace=", 8) == 0) {
            path = argv[i] + 8;
        }
    }
    return path;
}

} // namespace

int main(int argc, char** argv) {
    const std::optional<std::string> tracePath = trace::tracePath(traceOption(argc, argv));
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("siclquill"));

    // The instrument library speaks VXI-11 to LAN/GPIB gateways; with a trace asked for, every
    // call into it is recorded on the way.
    lan::LanLibrary library;
    if (tracePath) {
        // A trace into a pipe whose reader went away must end the trace, not the program.
        std::signal(SIGPIPE, SIG_IGN);
    }
    const auto traced = trace::traceIfAsked(library, tracePath, std::cerr);
    sicl::InstrumentLibrary& entries =
        traced ? static_cast<sicl::InstrumentLibrary&>(*traced) : library;
    PlatformBeep beep;
    frm1 window(entries, beep);
    window.show();
    return QApplication::exec();
}
