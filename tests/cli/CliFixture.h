#pragma once
// Runs the real siclquill-cli program against the in-process simulator on free loopback ports,
// and hands back its exit status, standard output and standard error.

#include "support/LoopbackSimulator.h"
#include "support/TempFile.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
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

/// A simulator on free ports with `instruments` on the bus and the LAN instrument inst0.
inline gateway::SimulatorConfig withInst0(std::vector<gateway::InstrumentConfig> instruments) {
    gateway::SimulatorConfig config = testsupport::onFreePorts(std::move(instruments));
    config.lanInstruments = {gateway::demoLanInstrument()};
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
        TempFile out;
        TempFile err;
        { std::ofstream(in.path(), std::ios::binary) << input; }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, in.path().c_str(), O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.path().c_str(), O_WRONLY, 0);
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
            whileRunning(pid);
            int status = 0;
            ::waitpid(pid, &status, 0);
            run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        posix_spawn_file_actions_destroy(&actions);
        run.out = out.contents();
        run.err = err.contents();
        return run;
    }

    gateway::Simulator m_sim;
};

} // namespace clitest
