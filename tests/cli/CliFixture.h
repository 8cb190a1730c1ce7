#pragma once
// Runs the real siclquill-cli program against the in-process simulator on free loopback ports,
// and hands back its exit status, standard output and standard error.

#include "support/LoopbackSimulator.h"
#include "support/TempFile.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace clitest {

/// What one run of the program left.
struct Outcome {
    int status = -1;
    std::string out;
    std::string err;

    /// Each line of the output parsed as JSON (a line that does not parse fails the test).
    std::vector<nlohmann::json> objects() const {
        std::vector<nlohmann::json> all;
        std::istringstream lines(out);
        std::string line;
        while (std::getline(lines, line)) {
            EXPECT_TRUE(nlohmann::json::accept(line)) << line;
            if (nlohmann::json::accept(line)) {
                all.push_back(nlohmann::json::parse(line));
            }
        }
        return all;
    }
};

using testsupport::TempFile;

/// Polls `file` until it holds `text` `count` times or 20 s pass; true if it does.
inline bool waitFor(const TempFile& file, const std::string& text, std::size_t count = 1) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;;) {
        const std::string all = file.contents();
        std::size_t seen = 0;
        for (std::size_t at = all.find(text); at != std::string::npos;
             at = all.find(text, at + text.size())) {
            ++seen;
        }
        if (seen >= count) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= until) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

/// Kills `pid` if it has not ended within 20 s (a program that would wait for ever must not
/// hold the suite); it stays for the caller's waitpid either way.
inline void killAfterTimeLimit(pid_t pid) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    siginfo_t info{};
    while (std::chrono::steady_clock::now() < until) {
        info.si_pid = 0;
        if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            info.si_pid == pid) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ::kill(pid, SIGKILL);
}

/// A simulator on free ports with `instruments` on the bus and the LAN instrument inst0, which
/// also answers over HiSLIP (hislip0) and on a raw socket.
inline gateway::SimulatorConfig withInst0(std::vector<gateway::InstrumentConfig> instruments) {
    gateway::SimulatorConfig config = testsupport::onFreePorts(std::move(instruments));
    config.lanInstruments = {gateway::demoLanInstrument()};
    config.hislipPort = 0;
    config.socketPort = 0;
    return config;
}

class CliTest : public ::testing::Test {
protected:
    explicit CliTest(gateway::SimulatorConfig config = withInst0(gateway::demoBench()))
        : m_sim(std::move(config)) {}

    void SetUp() override { ASSERT_TRUE(testsupport::started(m_sim)); }

    /// Runs siclquill-cli -s SIMULATOR `args`, with `input` on standard input.
    Outcome cli(std::vector<std::string> args, const std::string& input = {}) {
        args.insert(args.begin(), {"-s", testsupport::serverOf(m_sim)});
        return program(std::move(args), input);
    }

    /// Runs siclquill-cli with exactly `args`.
    static Outcome program(std::vector<std::string> args, const std::string& input = {}) {
        return program(std::move(args), input, [](pid_t) {});
    }

    /// Runs siclquill-cli with exactly `args`; `whileRunning` gets its pid before the wait.
    template <typename F>
    static Outcome program(std::vector<std::string> args, const std::string& input,
                           F&& whileRunning) {
        TempFile in;
        { std::ofstream(in.path(), std::ios::binary) << input; }
        const int stdinFd = ::open(in.path().c_str(), O_RDONLY | O_CLOEXEC);
        Outcome run =
            spawn(std::move(args), stdinFd, -1,
                  [&](pid_t pid, const TempFile&, const TempFile&) { whileRunning(pid); });
        ::close(stdinFd);
        return run;
    }

    /// Runs siclquill-cli with exactly `args`, its standard input and output on the given
    /// descriptors (-1: empty input, and a file whose contents come back in Outcome::out).
    template <typename F>
    static Outcome spawn(std::vector<std::string> args, int stdinFd, int stdoutFd,
                         F&& whileRunning) {
        TempFile out;
        TempFile err;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (stdinFd >= 0) {
            posix_spawn_file_actions_adddup2(&actions, stdinFd, STDIN_FILENO);
        } else {
            posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        }
        if (stdoutFd >= 0) {
            posix_spawn_file_actions_adddup2(&actions, stdoutFd, STDOUT_FILENO);
        } else {
            posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.path().c_str(), O_WRONLY,
                                             0);
        }
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.path().c_str(), O_WRONLY, 0);
        std::vector<std::string> argv = {SICLQUILL_CLI_PROGRAM};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char*> cargs;
        for (std::string& a : argv) {
            cargs.push_back(a.data());
        }
        cargs.push_back(nullptr);
        Outcome run;
        pid_t pid = -1;
        if (posix_spawn(&pid, cargs[0], &actions, nullptr, cargs.data(), environ) == 0) {
            whileRunning(pid, out, err);
            int status = 0;
            ::waitpid(pid, &status, 0);
            run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        posix_spawn_file_actions_destroy(&actions);
        run.out = out.contents();
        run.err = err.contents();
        return run;
    }

    /// inst0 by its VISA resource strings.
    std::string hislipResource() const {
        return "TCPIP::127.0.0.1::hislip0," + std::to_string(m_sim.hislipPort()) + "::INSTR";
    }
    std::string socketResource() const {
        return "TCPIP::127.0.0.1::" + std::to_string(m_sim.socketPort()) + "::SOCKET";
    }

    gateway::Simulator m_sim;
};

} // namespace clitest
