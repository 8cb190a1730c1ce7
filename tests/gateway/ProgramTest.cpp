// The siclquill-gateway program, and an independent VXI-11 client (pyvisa-py) against the
// simulator.

#include "TestClient.h"
#include "gateway/Simulator.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace vxi11;
using namespace std::chrono_literals;

namespace {

// Runs the program with `args`, its standard output on a pipe.
struct Child {
    pid_t pid = -1;
    int out = -1;

    bool start(std::vector<std::string> args) {
        int fds[2];
        if (::pipe(fds) != 0)
            return false;
        pid = ::fork();
        if (pid == 0) {
            ::dup2(fds[1], STDOUT_FILENO);
            ::close(fds[0]);
            ::close(fds[1]);
            std::vector<char*> argv;
            std::string program = SICLQUILL_GATEWAY_PROGRAM;
            argv.push_back(program.data());
            for (auto& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(fds[1]);
        out = fds[0];
        return pid > 0;
    }

    // Everything the program wrote to standard output within `timeout`, or up to a newline.
    std::string readLine(std::chrono::milliseconds timeout) {
        std::string line;
        const auto until = std::chrono::steady_clock::now() + timeout;
        while (line.empty() || line.back() != '\n') {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                until - std::chrono::steady_clock::now());
            pollfd p{out, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) != 1)
                break;
            char c;
            if (::read(out, &c, 1) != 1)
                break;
            line += c;
        }
        return line;
    }

    // Exit status after `signal`, or -1 if it did not end in time (then it is killed).
    int stopWith(int signal, std::chrono::milliseconds timeout) {
        ::kill(pid, signal);
        const auto until = std::chrono::steady_clock::now() + timeout;
        int status = 0;
        while (std::chrono::steady_clock::now() < until) {
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(5ms);
        }
        return -1;
    }

    ~Child() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        if (out >= 0)
            ::close(out);
    }
};

std::string runCommand(const std::string& command, int& status) {
    std::string output;
    FILE* p = ::popen((command + " 2>&1").c_str(), "r");
    if (!p) {
        status = -1;
        return output;
    }
    char buf[512];
    while (std::fgets(buf, sizeof buf, p))
        output += buf;
    const int raw = ::pclose(p);
    status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return output;
}

} // namespace

TEST(GatewayProgram, PrintsOneReadyLineServesTheDemoBenchAndEndsCleanlyOnSignals) {
    for (int signal : {SIGTERM, SIGINT}) {
        Child child;
        ASSERT_TRUE(child.start({"--demo", "--portmapper", "0"}));
        const std::string line = child.readLine(10s);
        // (std::regex trips a false maybe-uninitialized warning under the sanitizers.)
        unsigned pmPort = 0, corePort = 0, abortPort = 0, hislipPort = 0, socketPort = 0;
        int consumed = 0;
        ASSERT_EQ(std::sscanf(line.c_str(),
                              "ready portmapper=127.0.0.1:%u core=%u abort=%u hislip=%u "
                              "socket=%u\n%n",
                              &pmPort, &corePort, &abortPort, &hislipPort, &socketPort, &consumed),
                  5)
            << line;
        ASSERT_EQ(static_cast<std::size_t>(consumed), line.size()) << line;
        for (unsigned port : {pmPort, corePort, abortPort, hislipPort, socketPort}) {
            ASSERT_TRUE(port > 0 && port < 65536) << line;
        }
        EXPECT_NE(hislipPort, 4880u) << "a free port beside a portmapper on a free port";
        EXPECT_NE(socketPort, 5025u);

        testrpc::TestClient pm;
        ASSERT_TRUE(pm.connect(static_cast<std::uint16_t>(pmPort)));
        const auto port = pm.call<pmap::GetPort>({kDeviceCore, kDeviceVersion, pmap::kProtoTcp, 0});
        ASSERT_TRUE(port.has_value());
        EXPECT_EQ(port->port, corePort);

        testrpc::TestClient core;
        ASSERT_TRUE(core.connect(static_cast<std::uint16_t>(corePort)));
        CreateLinkParms p;
        p.device = "gpib0,22";
        const auto link = core.call<CreateLink>(p);
        ASSERT_TRUE(link && link->error == 0);

        EXPECT_EQ(child.stopWith(signal, 10s), 0);
        EXPECT_EQ(child.readLine(1s), "") << "nothing after the ready line";
    }
}

TEST(GatewayProgram, RefusesBadOptionsWithUsage) {
    for (const char* args :
         {"--instrument 31", "--instrument 5,2,1", "--bus-address 40", "--portmapper 70000",
          "--frobnicate", "--device gpib0", "--device Hpib2", "--device 9a", "--device a,b",
          "--device 'in st0'", "--device inst0 --device INST0", "--demo --device inst0",
          "--hislip 70000", "--hislip-mode fast", "--hislip-mode", "--socket 5025x"}) {
        int status = 0;
        const std::string out =
            runCommand(std::string(SICLQUILL_GATEWAY_PROGRAM) + " " + args, status);
        EXPECT_EQ(status, 2) << args << ": " << out;
        EXPECT_NE(out.find("--help"), std::string::npos) << args;
    }
}

// Both checks need the well-known portmapper port, so they share one test and never run
// side by side.
TEST(GatewayOnPort111, ServesAnIndependentClientAndAcceptsRegistrations) {
    int status = 0;
    runCommand("/usr/bin/python3 -c 'import pyvisa, pyvisa_py'", status);
    if (status != 0)
        GTEST_SKIP() << "python3-pyvisa-py is not installed (apt-get install python3-pyvisa-py)";

    gateway::SimulatorConfig config;
    config.instruments = gateway::demoBench();
    config.lanInstruments = {gateway::demoLanInstrument()};
    config.portmapperPort = pmap::kDefaultPort; // pyvisa-py always asks port 111
    gateway::Simulator sim(config);
    std::string error;
    if (!sim.start(&error))
        GTEST_SKIP() << "port 111 is taken or not allowed, so pyvisa-py cannot reach the "
                        "simulator: "
                     << error;

    const std::string out =
        runCommand(std::string("timeout 120 /usr/bin/python3 ") + SICLQUILL_PYVISA_SCRIPT, status);
    EXPECT_EQ(status, 0) << out;
    for (int pad : {22, 9}) {
        const auto inst = sim.instrument(pad);
        ASSERT_TRUE(inst.has_value());
        EXPECT_EQ(inst->triggerCount, 1u) << pad;
        EXPECT_EQ(inst->clearCount, 1u) << pad;
    }
    EXPECT_EQ(sim.instrument(5, 2)->triggerCount, 1u);
    EXPECT_EQ(sim.instrument("inst0")->triggerCount, 1u);
    EXPECT_EQ(sim.instrument("inst0")->clearCount, 1u);

    // A second simulator registers with the first one's portmapper as with a system one,
    // and takes its entries away again when it stops.
    gateway::SimulatorConfig second;
    second.registerWithSystemPortmapper = true;
    gateway::Simulator registered(second);
    ASSERT_TRUE(registered.start(&error)) << error;
    EXPECT_EQ(registered.portmapperPort(), 111);
    testrpc::TestClient pm;
    ASSERT_TRUE(pm.connect(pmap::kDefaultPort));
    const pmap::Mapping core{kDeviceCore, kDeviceVersion, pmap::kProtoTcp, 0};
    EXPECT_EQ(pm.call<pmap::GetPort>(core)->port, registered.corePort());
    const pmap::Mapping async{kDeviceAsync, kDeviceVersion, pmap::kProtoTcp, 0};
    EXPECT_EQ(pm.call<pmap::GetPort>(async)->port, registered.abortPort());
    registered.stop();
    EXPECT_EQ(pm.call<pmap::GetPort>(core)->port, 0u);

    sim.stop();
    EXPECT_EQ(sim.liveLinks(), 0u);
}
