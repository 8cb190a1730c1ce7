// The shell on a terminal: readline's Tab completion and the history file under
// $XDG_STATE_HOME, through a pseudo-terminal.

#include "CliFixture.h"

#include <poll.h>
#include <pty.h>

#include <filesystem>

namespace {

using namespace std::chrono_literals;

/// Reads what the terminal shows until `text` appears or 10 s pass.
std::string readUntil(int fd, const std::string& text, std::string& seen) {
    const auto until = std::chrono::steady_clock::now() + 10s;
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

} // namespace
