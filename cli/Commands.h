#pragma once

#include "cli/DeviceAddress.h"
#include "cli/Output.h"
#include "sicl/Sicl32Module.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace cli {

/// Set by Ctrl-C while a loop or a wait runs; those end early and report what they have.
extern std::atomic<bool> g_interrupted;
/// True while a loop or a wait runs, so that Ctrl-C ends it rather than the program.
extern std::atomic<bool> g_interruptible;

/// The global options that every command uses.
struct Settings {
    std::string server = "127.0.0.1";
    std::int32_t timeoutMs = 10000; ///< 0 = no time-out
    bool timeoutGiven = false;      ///< -t was given (discover's own default is shorter)
    bool cr = false;                ///< end written text with CR (before LF)
    bool lf = true;                 ///< end written text with LF
};

/// Options of read, and of the read of query.
struct ReadOptions {
    std::optional<std::size_t> max; ///< most bytes to read
    bool raw = false;               ///< print the answer as it came, terminators included
    bool block = false;             ///< unwrap an IEEE 488.2 block
    std::optional<std::string> out; ///< write the bytes to this file
};

/// Options of loop.
struct LoopOptions {
    std::optional<std::uint64_t> count;
    std::optional<double> durationS;
    double intervalMs = 0;
    bool lockEach = false;
    bool stopOnError = false;
    bool progress = false; ///< live progress on the error stream (a terminal)
};

/// Runs the commands on the library entries and prints their results. Sessions are opened
/// when a command first needs them and kept until the runner ends, so that a lock taken in
/// the shell holds until unlock. A library failure raises sicl::SiclError, bad input
/// UsageError (before anything is sent), any other failure Failure.
class Runner {
public:
    Runner(sicl::InstrumentLibrary& library, Settings settings, Output& output);
    ~Runner();
    Runner(const Runner&) = delete;
    Runner& operator=(const Runner&) = delete;

    void find(bool secondary);
    void census(bool secondary);
    void query(const DeviceAddress& device, const std::string& text, const ReadOptions& options);
    void write(const DeviceAddress& device, const std::string& text);
    void read(const DeviceAddress& device, const ReadOptions& options);
    void spoll(const DeviceAddress& device);
    void clear(const DeviceAddress& device);
    void trigger(const DeviceAddress& device);
    void local(const DeviceAddress& device);
    void remote(const DeviceAddress& device);
    void lock(const DeviceAddress& device);
    void unlock(const DeviceAddress& device);
    void status();
    void ifc();
    void ren(bool on);
    void atn(bool on);
    void cmd(const std::string& bytes, bool dryRun);
    /// Returns false when some pass failed.
    bool loop(const DeviceAddress& device, const std::string& text, const LoopOptions& options);
    /// Waits up to `wait` (0: for ever) for SRQ, by polling the bus status or through the
    /// gateway's interrupt channel, then serial-polls the listeners and names those that
    /// request service.
    void srq(std::chrono::milliseconds wait, bool secondary, bool interruptChannel);

    const Settings& settings() const noexcept { return m_settings; }
    sicl::InstrumentLibrary& library() const noexcept { return m_sicl.library(); }

private:
    sicl::SessionId interfaceSession();
    sicl::SessionId deviceSession(const DeviceAddress& device);
    sicl::SessionId open(const std::string& address);
    /// The text with the chosen terminators.
    std::string message(const std::string& text) const;
    /// Reads one response (up to END or the limit) into `response`.
    void readResponse(sicl::SessionId id, std::size_t limit, std::string& response);
    void printResponse(const char* command, const DeviceAddress& device, std::string response,
                       const ReadOptions& options);
    /// Addresses the device as listener on the interface session and sends `tail` after it.
    void addressAndSend(const DeviceAddress& device, std::string tail);
    std::vector<std::pair<int, std::optional<int>>> listeners(bool secondary);
    void waitForSrqByPolling(std::chrono::milliseconds wait);
    /// False, with a note on the error stream, when the gateway offers no interrupt channel.
    bool waitForSrqByInterrupt(std::chrono::milliseconds wait);

    Settings m_settings;
    Output& m_out;
    mutable sicl::Sicl32Module m_sicl;
    sicl::SessionId m_interface = 0;
    std::map<std::string, sicl::SessionId> m_devices;
    std::string m_readBuffer; ///< reused by every read, so loops allocate nothing per pass
};

} // namespace cli
