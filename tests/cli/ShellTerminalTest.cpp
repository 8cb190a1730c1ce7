// The shell on a terminal, through a pseudo-terminal: readline's Tab completion (of commands,
// and of the addresses the last find found), the history file under $XDG_STATE_HOME, and
// Ctrl-C, which drops a half-typed line at the prompt and ends a blocking read at once.

#include "CliFixture.h"

#include <poll.h>
#include <pty.h>

#include <filesystem>
#include <thread>

namespace {

using namespace std::chrono_literals;

/// Reads what the terminal shows until `text` appears or 10 s pass (at most 100 ms when
/// `text` begins with \x01).
std::string readUntil(int fd, const std::string& text, std::string& seen) {
    const auto until = std::chrono::steady_clock::now() + (text[0] == '\x01' ? 100ms : 10s);
    while (seen.find(text) == std::string::npos && std::chrono::steady_clock::now() < until) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) != 1) {
            continue;
        }
        char buffer[512];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        seen.append(buffer, static_cast<std::size_t>(n));
    }
    return seen;
}

using clitest::CliTest;

/// How often `text` occurs in `all`.
std::size_t occurrences(const std::string& all, const std::string& text) {
    std::size_t n = 0;
    for (auto at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) {
        ++n;
    }
    return n;
}

/// Reads what the terminal shows until `text` appears `count` times or 10 s pass.
bool waitShown(int fd, const std::string& text, std::size_t count, std::string& seen) {
    const auto until = std::chrono::steady_clock::now() + 10s;
    while (occurrences(seen, text) < count && std::chrono::steady_clock::now() < until) {
        readUntil(fd, "\x01never", seen); // one read, at most 100 ms of waiting
    }
    return occurrences(seen, text) >= count;
}

/// The program on a pseudo-terminal, with `args` after -s SERVER.
pid_t onTerminal(const std::string& server, std::vector<std::string> args, int& terminal) {
    const pid_t pid = ::forkpty(&terminal, nullptr, nullptr, nullptr);
    if (pid == 0) {
        ::setenv("TERM", "dumb", 1);
        ::setenv("XDG_STATE_HOME", "/nonexistent-siclquill-state", 1);
        std::vector<std::string> all = {SICLQUILL_CLI_PROGRAM, "-s", server};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : all) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

void type(int terminal, const std::string& keys) {
    ASSERT_EQ(::write(terminal, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
}

TEST_F(CliTest, TheShellOnATerminalCompletesCommandsAndKeepsAHistory) {
    char dir[] = "/tmp/siclquill-state-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string server = testsupport::serverOf(m_sim);
    int terminal = -1;
    const pid_t pid = ::forkpty(&terminal, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::setenv("XDG_STATE_HOME", dir, 1);
        ::setenv("TERM", "dumb", 1);
        ::execl(SICLQUILL_CLI_PROGRAM, SICLQUILL_CLI_PROGRAM, "-s", server.c_str(), nullptr);
        ::_exit(127);
    }
    std::string seen;
    readUntil(terminal, "siclquill> ", seen);
    // "sta" and Tab complete to "status".
    ASSERT_EQ(::write(terminal, "sta\t\r", 5), 5);
    EXPECT_NE(readUntil(terminal, "NDAC = ", seen).find("REN = 0"), std::string::npos) << seen;
    ASSERT_EQ(::write(terminal, "exit\r", 5), 5);
    int status = -1;
    ::waitpid(pid, &status, 0);
    ::close(terminal);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << seen;

    std::ifstream in(std::string(dir) + "/siclquill/cli_history");
    std::string all;
    for (std::string line; std::getline(in, line);) {
        all += line + "\n";
    }
    EXPECT_NE(all.find("status"), std::string::npos) << all;
    EXPECT_NE(all.find("exit"), std::string::npos) << all;
    std::filesystem::remove_all(dir);
}

TEST_F(CliTest, CtrlCDropsAHalfTypedLineAndEndsABlockingReadWhoseSessionGoesOn) {
    int terminal = -1;
    const pid_t pid = onTerminal(testsupport::serverOf(m_sim), {"-t", "30"}, terminal);
    ASSERT_GE(pid, 0);
    std::string seen;
    type(terminal, "use 22\r");
    ASSERT_TRUE(waitShown(terminal, "siclquill 22> ", 1, seen)) << seen;
    // Ctrl-C at the prompt: the line is gone, so only the next one is run.
    type(terminal, "w *RST");
    // Once the line editor has echoed it: a Ctrl-C before it reads the terminal would reach
    // the line discipline instead, which flushes the typed bytes itself.
    ASSERT_TRUE(waitShown(terminal, "w *RST", 1, seen)) << seen;
    type(terminal, "\x03");
    ASSERT_TRUE(waitShown(terminal, "siclquill 22> ", 2, seen)) << seen;
    type(terminal, "q *IDN?\r");
    EXPECT_TRUE(waitShown(terminal, "Orvane Instruments", 1, seen)) << seen;
    EXPECT_EQ(seen.find("wrote"), std::string::npos) << seen;
    // Ctrl-C while a read waits for an answer that never comes (time-out 30 s): the read
    // ends at once, and the session still works for the next command.
    ASSERT_TRUE(waitShown(terminal, "siclquill 22> ", 3, seen)) << seen;
    const std::uint64_t calls = m_sim.callCount();
    type(terminal, "read\r");
    const auto until = std::chrono::steady_clock::now() + 10s;
    while (m_sim.callCount() == calls && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(5ms); // until the gateway holds the read
    }
    const auto start = std::chrono::steady_clock::now();
    type(terminal, "\x03");
    EXPECT_TRUE(waitShown(terminal, "error 119: operation interrupted", 1, seen)) << seen;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    type(terminal, "q *IDN?\r");
    EXPECT_TRUE(waitShown(terminal, "Orvane Instruments", 2, seen)) << seen;
    type(terminal, "exit\r");
    int status = -1;
    ::waitpid(pid, &status, 0);
    ::close(terminal);
}

TEST_F(CliTest, TabCompletesTheAddressesTheLastFindFound) {
    int terminal = -1;
    const pid_t pid = onTerminal(testsupport::serverOf(m_sim), {}, terminal);
    ASSERT_GE(pid, 0);
    std::string seen;
    type(terminal, "find\r");
    ASSERT_TRUE(waitShown(terminal, "siclquill> ", 2, seen)) << seen;
    type(terminal, "spoll 2\t\r");
    EXPECT_TRUE(waitShown(terminal, "status byte", 1, seen)) << seen;
    type(terminal, "exit\r");
    int status = -1;
    ::waitpid(pid, &status, 0);
    ::close(terminal);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << seen;
}

} // namespace
