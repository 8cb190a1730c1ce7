#pragma once

#include "cli/DeviceAddress.h"
#include "cli/LineRest.h"
#include "cli/Output.h"
#include "sicl/Sicl32Module.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace cli {

/// What --check-errors asks after each write.
enum class CheckErrors { None, Syst, Esr };

/// The settings every command uses; the shell's `timeout` and `term` change them.
struct Settings {
    std::string server = "127.0.0.1";
    std::int32_t timeoutMs = 10000; ///< 0 = no time-out
    bool timeoutGiven = false;      ///< -t was given (discover's own default is shorter)
    bool cr = false;                ///< end written text with CR (before LF)
    bool lf = true;                 ///< end written text with LF
    CheckErrors checkErrors = CheckErrors::None;
    std::optional<std::string> tracePath; ///< where library calls are traced, if anywhere
};

/// How a read of one answer ended.
struct ReadEnd {
    bool truncated = false; ///< the limit came before END
    /// For a truncated answer: what became of the rest ("read and dropped", ...).
    std::string rest;
    /// A raw socket's instrument closed the connection to end the answer (an indefinite block
    /// ends no other way there): the answer is whole, and the next command connects again.
    bool closed = false;
};

/// The sessions of the program and the steps that commands share. Sessions are opened when a
/// command first needs them and kept until the runner ends, so that a lock taken in the shell
/// holds until unlock. After the connection to the gateway was lost (error 104), the next
/// session asked for closes every session and opens the links again, once, saying so on the
/// error stream. A library failure raises sicl::SiclError.
class Runner {
public:
    Runner(sicl::InstrumentLibrary& library, Settings settings, Output& output);
    ~Runner();
    Runner(const Runner&) = delete;
    Runner& operator=(const Runner&) = delete;

    sicl::Sicl32Module& sicl() noexcept { return m_sicl; }
    sicl::InstrumentLibrary& library() const noexcept { return m_sicl.library(); }
    Output& out() noexcept { return m_out; }
    const Settings& settings() const noexcept { return m_settings; }

    /// The session of a device, or of the gateway's interface; opened on first use.
    sicl::SessionId device(const DeviceAddress& device);
    sicl::SessionId interface();

    /// The connection to the gateway was lost: the next session asked for opens the links
    /// again.
    void connectionLost() noexcept { m_lost = true; }
    bool lost() const noexcept { return m_lost; }
    /// Notes a lock taken or released, so that a reconnect can say which locks were lost.
    void noteLock(const DeviceAddress& device, bool held);

    /// Sets the time-out of every open session and of those opened later.
    void setTimeout(std::int32_t ms);
    void setTerminators(bool cr, bool lf) noexcept;

    /// The text with the chosen terminators.
    std::string message(std::string_view text) const;
    /// Writes `bytes` with END on the last byte; returns the bytes taken.
    std::int32_t send(sicl::SessionId id, const std::string& bytes);
    /// As send(), within what is left of the time-out after `spent` (reading the file that is
    /// sent counts against the command's time-out).
    std::int32_t send(sicl::SessionId id, const std::string& bytes,
                      std::chrono::milliseconds spent);
    /// Reads one answer into `answer` (at most `limit` bytes; ending at `until` too when
    /// given). An answer longer than the limit is cut there and the rest of it read and
    /// dropped within the time-out (the device is cleared if that fails), so nothing of it is
    /// left for the next read. On a failure `answer` holds what came before it. When the library
    /// re-synchronised the session before this read (after an exchange that timed out or was
    /// interrupted), one line on the error stream says so.
    ReadEnd read(sicl::SessionId id, std::size_t limit, std::optional<std::uint8_t> until,
                 std::string& answer);
    /// Device clear; nothing an earlier read left waits any more.
    void clear(sicl::SessionId id);
    /// With --check-errors, before a command: empties the instrument's error queue (or reads
    /// its event status) and names what it held on the error stream as already queued, so
    /// that the check after the command reports only what the command caused.
    void setErrorsAside(sicl::SessionId id, std::string_view command);
    /// With --check-errors: asks the instrument for its errors and raises Failure naming them.
    void checkErrors(sicl::SessionId id);

private:
    sicl::SessionId open(const std::string& address);
    /// Closes every session after a lost connection and says so.
    void reopen();
    /// Closes every session opened, failures ignored.
    void closeAll();
    /// The time-out that rests on the sessions' defaults; after `timeout` they are set apart.
    bool timeoutChanged() const noexcept { return m_settings.timeoutMs != m_openTimeoutMs; }
    std::string queryText(sicl::SessionId id, const char* query);
    /// What --check-errors asks for: the errors the instrument reports (emptying its queue).
    std::vector<std::string> takeErrors(sicl::SessionId id);
    /// A read that ends at `until` (besides END) through the session's termination character.
    sicl::MessageEnd readEndingAt(sicl::SessionId id, std::size_t limit,
                                  std::optional<std::uint8_t> until, std::string& answer,
                                  std::int32_t& reasons);
    /// The rest of an answer cut at its limit: read and dropped, or the device cleared.
    ReadEnd dropRest(sicl::SessionId id);

    Settings m_settings;
    const std::int32_t m_openTimeoutMs; ///< what the library gives a new session
    Output& m_out;
    mutable sicl::Sicl32Module m_sicl;
    sicl::SessionId m_interface = 0;
    std::map<std::string, sicl::SessionId> m_devices;
    std::set<sicl::SessionId> m_sockets; ///< sessions on a raw socket
    std::set<sicl::SessionId> m_gone;    ///< closed by their instrument: opened again when asked
    LineRest m_lineRest;
    std::set<std::string> m_locks; ///< addresses (as typed) locked by this program
    bool m_lost = false;
    std::string m_scratch; ///< reused by every read, so loops allocate nothing per pass
    std::string m_check;   ///< answers of --check-errors
};

} // namespace cli
