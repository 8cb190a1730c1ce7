#include "hardening/GatewayProcess.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>

namespace hardening {

namespace {

long statusField(pid_t pid, const std::string& field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(field + ":", 0) == 0)
            return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
    }
    return 0;
}

std::uint16_t portAfter(const std::string& line, const std::string& key) {
    const auto at = line.find(key);
    if (at == std::string::npos)
        return 0;
    return static_cast<std::uint16_t>(std::strtoul(line.c_str() + at + key.size(), nullptr, 10));
}

} // namespace

GatewayProcess::GatewayProcess(std::vector<std::string> args) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return;
    std::vector<std::string> argv = {SICLQUILL_GATEWAY_PROGRAM, "--portmapper", "0"};
    argv.insert(argv.end(), args.begin(), args.end());
    m_pid = ::fork();
    if (m_pid == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        std::vector<char*> cargs;
        for (auto& a : argv)
            cargs.push_back(a.data());
        cargs.push_back(nullptr);
        ::execv(cargs[0], cargs.data());
        ::_exit(127);
    }
    ::close(out[1]);
    // Wait (at most 20 s, a slow sanitizer start included) for the ready line.
    std::string line;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (m_pid > 0 && line.find('\n') == std::string::npos &&
           std::chrono::steady_clock::now() < until) {
        pollfd p{out[0], POLLIN, 0};
        if (::poll(&p, 1, 200) <= 0)
            continue;
        char buf[256];
        const ssize_t n = ::read(out[0], buf, sizeof buf);
        if (n <= 0)
            break;
        line.append(buf, static_cast<std::size_t>(n));
    }
    ::close(out[0]);
    const auto colon = line.find("portmapper=");
    if (colon != std::string::npos) {
        const auto portStart = line.find(':', colon);
        m_portmapperPort = portAfter(line.substr(portStart), ":");
        m_corePort = portAfter(line, "core=");
        m_hislipPort = portAfter(line, "hislip=");
        m_socketPort = portAfter(line, "socket=");
    }
}

GatewayProcess::~GatewayProcess() {
    if (m_pid <= 0)
        return;
    ::kill(m_pid, SIGTERM);
    for (int i = 0; i < 100; ++i) {
        if (::waitpid(m_pid, nullptr, WNOHANG) == m_pid)
            return;
        ::usleep(50 * 1000);
    }
    kill();
}

std::string GatewayProcess::deviceAddress(int pad) const {
    return "lan;vxi-11[127.0.0.1:" + std::to_string(m_portmapperPort) + "]:gpib," +
           std::to_string(pad);
}

void GatewayProcess::kill() {
    if (m_pid <= 0)
        return;
    ::kill(m_pid, SIGKILL);
    ::waitpid(m_pid, nullptr, 0);
    m_pid = -1;
}

bool GatewayProcess::alive() {
    return m_pid > 0 && ::waitpid(m_pid, nullptr, WNOHANG) == 0;
}

long GatewayProcess::peakMemoryKiB() const {
    return m_pid > 0 ? statusField(m_pid, "VmHWM") : 0;
}

long GatewayProcess::memoryKiB() const {
    return m_pid > 0 ? statusField(m_pid, "VmRSS") : 0;
}

int GatewayProcess::openSockets() const {
    if (m_pid <= 0)
        return 0;
    const std::string dir = "/proc/" + std::to_string(m_pid) + "/fd";
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr)
        return 0;
    int count = 0;
    while (const dirent* e = ::readdir(d)) {
        char target[PATH_MAX];
        const std::string path = dir + "/" + e->d_name;
        const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
        if (n > 0 && std::strncmp(target, "socket:", 7) == 0)
            ++count;
    }
    ::closedir(d);
    return count;
}

} // namespace hardening
