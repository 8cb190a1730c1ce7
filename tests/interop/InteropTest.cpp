// Independent programs against the simulator. Debian's tshark dissects a whole HiSLIP session
// between this project's client and the simulator (both modes, query, block, clear, locks,
// status, a service request, close) and finds no malformed packet and no HiSLIP warning.
// pyvisa-py and lxi query the raw SCPI socket and get the identity that the VXI-11 path gets.
// Each test skips, saying why, when its tool is missing or (tshark) capture is not allowed.

#include "gateway/HislipClient.h"
#include "hislip/client/HislipTransport.h"
#include "lan/LanLibrary.h"
#include "library/Resource.h"
#include "support/TempFile.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <set>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

using namespace testhislip;

namespace {

/// Runs `command` through the shell: its output (standard error too) and exit status.
std::string run(const std::string& command, int& status) {
    std::string output;
    FILE* p = ::popen((command + " 2>&1").c_str(), "r");
    if (p == nullptr) {
        status = -1;
        return output;
    }
    char buffer[4096];
    while (std::fgets(buffer, sizeof buffer, p) != nullptr) {
        output += buffer;
    }
    const int raw = ::pclose(p);
    status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return output;
}

std::string run(const std::string& command) {
    int status = 0;
    return run(command, status);
}

bool have(const std::string& program) {
    int status = 0;
    run("command -v " + program, status);
    return status == 0;
}

/// tshark capturing the TCP traffic of one port on lo into a file, until stop().
class Capture {
public:
    Capture(std::uint16_t port, const std::string& file) {
        int err[2];
        if (::pipe2(err, O_CLOEXEC) != 0) {
            return;
        }
        const std::string filter = "tcp port " + std::to_string(port);
        m_pid = ::fork();
        if (m_pid == 0) {
            ::dup2(err[1], STDERR_FILENO);
            ::execlp("tshark", "tshark", "-q", "-i", "lo", "-f", filter.c_str(), "-w", file.c_str(),
                     static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(err[1]);
        // tshark says when it captures, or why it cannot.
        const auto until = std::chrono::steady_clock::now() + 20s;
        while (!capturing() && std::chrono::steady_clock::now() < until) {
            pollfd p{err[0], POLLIN, 0};
            if (::poll(&p, 1, 200) <= 0) {
                continue;
            }
            char buffer[512];
            const ssize_t n = ::read(err[0], buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            m_text.append(buffer, static_cast<std::size_t>(n));
        }
        m_err = err[0];
    }
    ~Capture() {
        stop();
        if (m_err >= 0) {
            ::close(m_err);
        }
    }
    /// dumpcap says "Capturing on" when it opens the interface, and then "Capture started"
    /// (with the file) once packets go there.
    bool capturing() const { return m_text.find("Capture started") != std::string::npos; }
    const std::string& text() const { return m_text; }
    void stop() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGINT);
            ::waitpid(m_pid, nullptr, 0);
            m_pid = -1;
        }
    }

private:
    pid_t m_pid = -1;
    int m_err = -1;
    std::string m_text;
};

library::CallTime within(std::int32_t ms) {
    library::CallTime t;
    t.timeoutMs = ms;
    return t;
}

/// One whole session of this project's client in `mode`.
void clientSession(std::uint16_t port, hislip::Mode mode) {
    library::Resource r;
    r.kind = library::Resource::Kind::Hislip;
    r.visa = true;
    r.host = "127.0.0.1";
    r.port = port;
    r.name = "hislip0";
    hislip::HislipOptions options;
    options.mode = mode;
    options.maxMessageSize = 16384; // the block comes as Data... DataEND
    auto s = hislip::HislipTransport(options).openSession(r, within(5000));
    std::string buffer(70000, '\0');
    auto write = [&](std::string_view text) {
        std::size_t sent = 0;
        s->write(bytesOf(text), true, within(5000), sent);
    };
    auto read = [&] {
        library::ReadProgress progress;
        s->read({reinterpret_cast<std::uint8_t*>(buffer.data()), buffer.size()}, std::nullopt,
                within(5000), progress);
        return buffer.substr(0, progress.count);
    };
    write("*IDN?\n");
    EXPECT_EQ(read().substr(0, 17), "Marrow Scientific");
    write(":WAV:POIN 65536\n");
    write(":WAV:DATA?\n");
    EXPECT_EQ(read().size(), 65536u + 8u);
    s->clear(within(5000));
    s->lock(within(5000));
    s->readStb(within(5000));
    s->unlock(within(5000));
    s->lockShared("bench", within(5000));
    s->unlock(within(5000));
    write("*SRE 16\n");
    write("*OPC?\n");
    EXPECT_TRUE(s->waitSrq(net::Deadline::after(5s), within(5000)));
    EXPECT_EQ(read(), "1\n");
    EXPECT_EQ(s->readStb(within(5000)) & 0x10, 0);
    s->trigger(within(5000));
    s->close(net::Deadline::after(2s));
}

/// The identity of inst0 through the VXI-11 path of this project's library.
std::string vxi11Identity(const gateway::Simulator& sim) {
    lan::LanLibrary lib;
    const auto id =
        lib.vb_iopen("lan;vxi-11[127.0.0.1:" + std::to_string(sim.portmapperPort()) + "]:inst0");
    std::int32_t actual = 0;
    std::int32_t reason = 0;
    std::string buffer(200, ' ');
    if (id <= 0 || lib.vb_iwrite(1, id, "*IDN?\n", 6, 1, actual) != 0 ||
        lib.vb_iread(1, id, buffer, 200, reason, actual) != 0) {
        return {};
    }
    lib.vb_iclose(id);
    return buffer.substr(0, static_cast<std::size_t>(actual));
}

} // namespace

TEST_F(HislipFixture, TsharkDissectsAWholeHislipSessionWithoutMalformedPacketsOrWarnings) {
    if (!have("tshark")) {
        GTEST_SKIP() << "tshark is not installed (apt-get install tshark)";
    }
    const std::uint16_t port = sim->hislipPort();
    testsupport::TempFile file;
    Capture capture(port, file.path());
    if (!capture.capturing()) {
        GTEST_SKIP() << "tshark may not capture on lo here (root or CAP_NET_RAW is needed): "
                     << capture.text();
    }
    clientSession(port, hislip::Mode::Synchronized);
    clientSession(port, hislip::Mode::Overlapped);
    // The last session, told apart by its sub-address: once it is in the file, so is all
    // that came before it (the capture writes in order, a little late).
    RawSession sentinel = session();
    ASSERT_TRUE(sentinel.initialize("HISLIP0"));
    sentinel.sync.close();
    const std::string read =
        "tshark -r " + file.path() + " -d tcp.port==" + std::to_string(port) + ",hislip ";
    const auto until = std::chrono::steady_clock::now() + 20s;
    while (run(read + "-Y 'frame contains \"HISLIP0\"'").find("HISLIP0") == std::string::npos &&
           std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(100ms); // the capture flushes on its own schedule
    }
    capture.stop();

    // One line per frame, the types of its messages separated by commas.
    std::set<int> types;
    std::istringstream lines(run(read + "-Y hislip -T fields -e hislip.messagetype"));
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        for (std::string type; std::getline(fields, type, ',');) {
            if (type.rfind("0x", 0) == 0) {
                types.insert(static_cast<int>(std::strtol(type.c_str(), nullptr, 16)));
            }
        }
    }
    for (const int type : {0, 1, 4, 5, 6, 7, 8, 9, 12, 15, 16, 17, 18, 19, 20, 21, 22, 23}) {
        EXPECT_TRUE(types.contains(type)) << "message type " << type << " was dissected";
    }
    const std::string bad =
        run(read + "-Y '_ws.malformed || hislip.wrongprologue || hislip.msgnotnull'");
    const std::string expert = run(read + "-q -z expert,warn");
    EXPECT_EQ(bad.find("HiSLIP"), std::string::npos) << bad;
    EXPECT_EQ(bad.find("Malformed"), std::string::npos) << bad;
    EXPECT_EQ(expert.find("HiSLIP"), std::string::npos) << expert;
}

TEST_F(HislipFixture, PyvisaPyQueriesTheRawSocketAndGetsTheVxi11Identity) {
    int status = 0;
    run("/usr/bin/python3 -c 'import pyvisa, pyvisa_py'", status);
    if (status != 0) {
        GTEST_SKIP() << "python3-pyvisa-py is not installed (apt-get install python3-pyvisa-py)";
    }
    const std::string expected = vxi11Identity(*sim);
    ASSERT_FALSE(expected.empty());
    const std::string out =
        run(std::string("timeout 60 /usr/bin/python3 ") + SICLQUILL_PYVISA_SOCKET_SCRIPT + " " +
                std::to_string(sim->socketPort()),
            status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_EQ(out, expected) << "pyvisa-py prints the answer without its LF, then a newline";
}

TEST_F(HislipFixture, LxiQueriesTheRawSocketAndGetsTheVxi11Identity) {
    if (!have("lxi")) {
        GTEST_SKIP() << "lxi is not installed (apt-get install lxi-tools)";
    }
    const std::string expected = vxi11Identity(*sim);
    ASSERT_FALSE(expected.empty());
    int status = 0;
    const std::string out = run("timeout 60 lxi scpi --raw -a 127.0.0.1 -p " +
                                    std::to_string(sim->socketPort()) + " '*IDN?'",
                                status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_EQ(out.substr(0, expected.size() - 1), expected.substr(0, expected.size() - 1)) << out;
}
