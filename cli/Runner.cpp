#include "cli/Runner.h"

#include "cli/Errors.h"
#include "library/LibraryError.h"
#include "library/Resource.h"
#include "sicl/ReadMessage.h"

#include <cstdlib>
#include <vector>

namespace cli {

namespace {

using sicl::SessionId;
using sicl::SiclError;

/// Most errors SYST:ERR? is asked for after one command (an instrument's queue is finite, but
/// one that never answers 0 must not hold the program).
constexpr int kMostErrors = 16;
/// Bytes taken of one answer of SYST:ERR? or *ESR?.
constexpr std::size_t kCheckAnswerMax = 4096;
/// The error bits of the event status register: query, device-dependent, execution and
/// command error. Operation complete and power on are no errors.
constexpr int kEsrErrorBits = 0x3C;

/// The leading integer of an instrument's answer ("-113,\"Undefined header\"", "+0", "32").
std::optional<long> leadingNumber(const std::string& answer) {
    const char* begin = answer.c_str();
    char* end = nullptr;
    const long value = std::strtol(begin, &end, 10);
    if (end == begin) {
        return std::nullopt;
    }
    return value;
}

/// True for a VISA resource of a raw socket, whose reads end at LF rather than at END.
bool onRawSocket(const DeviceAddress& device) {
    try {
        return device.visa &&
               library::parseResource(device.typed).kind == library::Resource::Kind::Socket;
    } catch (const library::LibraryError&) {
        return false;
    }
}

std::string joined(const std::vector<std::string>& texts) {
    std::string all;
    for (const std::string& t : texts) {
        all += (all.empty() ? "" : "; ") + t;
    }
    return all;
}

std::string esrBits(int value) {
    static constexpr std::pair<int, const char*> kNames[] = {{0x04, "query error"},
                                                             {0x08, "device error"},
                                                             {0x10, "execution error"},
                                                             {0x20, "command error"}};
    std::string names;
    for (const auto& [bit, name] : kNames) {
        if ((value & bit) != 0) {
            names += (names.empty() ? "" : ", ") + std::string(name);
        }
    }
    return names;
}

} // namespace

Runner::Runner(sicl::InstrumentLibrary& library, Settings settings, Output& output)
    : m_settings(std::move(settings)), m_openTimeoutMs(m_settings.timeoutMs), m_out(output),
      m_sicl(library) {}

Runner::~Runner() {
    closeAll();
}

void Runner::closeAll() {
    // Failures change nothing: at the end the gateway drops the links with the connection,
    // and after a lost connection they went with it.
    auto close = [this](SessionId id) {
        try {
            m_sicl.iclose(id);
        } catch (const SiclError&) {
        }
    };
    for (const auto& [address, id] : m_devices) {
        close(id);
    }
    if (m_interface != 0) {
        close(m_interface);
    }
}

SessionId Runner::open(const std::string& address) {
    if (m_lost) {
        reopen();
    }
    const SessionId id = m_sicl.iopen(address);
    if (id == 0) {
        throw Failure("cannot open " + address);
    }
    if (timeoutChanged()) {
        try {
            m_sicl.itimeout(id, m_settings.timeoutMs);
        } catch (const SiclError&) {
            m_sicl.iclose(id);
            throw;
        }
    }
    return id;
}

void Runner::reopen() {
    m_lost = false;
    std::string note = "siclquill-cli: the connection to the gateway was lost; opening the links "
                       "again";
    if (!m_locks.empty()) {
        std::string names;
        for (const std::string& a : m_locks) {
            names += (names.empty() ? "" : ", ") + a;
        }
        note += " (the lock on " + names + " is gone: a lock does not survive a reconnect)";
    }
    m_out.err() << note << std::endl;
    closeAll();
    m_devices.clear();
    m_sockets.clear();
    m_gone.clear();
    m_lineRest.clear();
    m_interface = 0;
    m_locks.clear();
}

SessionId Runner::interface() {
    if (m_interface == 0 || m_lost) {
        m_interface = open(interfaceAddress(m_settings.server));
    }
    return m_interface;
}

SessionId Runner::device(const DeviceAddress& device) {
    const std::string address = libraryAddress(m_settings.server, device);
    if (const auto it = m_devices.find(address); !m_lost && it != m_devices.end()) {
        if (!m_gone.contains(it->second)) {
            return it->second;
        }
        // The instrument closed this connection: a new one, quietly (the end was told).
        try {
            m_sicl.iclose(it->second);
        } catch (const SiclError&) {
        }
        m_gone.erase(it->second);
        m_sockets.erase(it->second);
        m_lineRest.drop(it->second);
        m_devices.erase(it);
    }
    const SessionId id = open(address);
    m_devices[address] = id;
    if (onRawSocket(device)) {
        m_sockets.insert(id);
    }
    return id;
}

void Runner::noteLock(const DeviceAddress& device, bool held) {
    if (held) {
        m_locks.insert(device.typed);
    } else {
        m_locks.erase(device.typed);
    }
}

void Runner::setTimeout(std::int32_t ms) {
    m_settings.timeoutMs = ms;
    for (const auto& [address, id] : m_devices) {
        m_sicl.itimeout(id, ms);
    }
    if (m_interface != 0) {
        m_sicl.itimeout(m_interface, ms);
    }
}

void Runner::setTerminators(bool cr, bool lf) noexcept {
    m_settings.cr = cr;
    m_settings.lf = lf;
}

std::string Runner::message(std::string_view text) const {
    std::string bytes(text);
    if (m_settings.cr) {
        bytes += '\r';
    }
    if (m_settings.lf) {
        bytes += '\n';
    }
    return bytes;
}

std::int32_t Runner::send(SessionId id, const std::string& bytes) {
    std::int32_t actual = 0;
    m_sicl.iwrite(id, bytes, static_cast<std::int32_t>(bytes.size()), 1, actual);
    return actual;
}

std::int32_t Runner::send(SessionId id, const std::string& bytes, std::chrono::milliseconds spent) {
    const std::int32_t ms = m_settings.timeoutMs;
    if (ms == 0 || spent.count() <= 0) {
        return send(id, bytes);
    }
    m_sicl.itimeout(id, static_cast<std::int32_t>(std::max<std::int64_t>(1, ms - spent.count())));
    std::int32_t actual = 0;
    try {
        actual = send(id, bytes);
    } catch (const SiclError&) {
        try {
            m_sicl.itimeout(id, ms);
        } catch (const SiclError&) {
            // The write's error is the one to report.
        }
        throw;
    }
    m_sicl.itimeout(id, ms);
    return actual;
}

ReadEnd Runner::read(SessionId id, std::size_t limit, std::optional<std::uint8_t> until,
                     std::string& answer) {
    const bool socket = m_sockets.contains(id);
    std::int32_t reasons = 0;
    const sicl::MessageEnd end =
        socket ? m_lineRest.read(m_sicl, id, limit, until, answer, m_scratch, reasons)
               : readEndingAt(id, limit, until, answer, reasons);
    if ((reasons & sicl::reason::kResync) != 0) {
        m_out.err() << "siclquill-cli: the session was re-synchronised after an exchange "
                       "that did not finish (time-out or Ctrl-C); anything late from it "
                       "was dropped"
                    << std::endl;
    }
    if (socket && end == sicl::MessageEnd::End) {
        m_gone.insert(id);
        ReadEnd closed;
        closed.closed = true;
        return closed;
    }
    return end == sicl::MessageEnd::Limit ? dropRest(id) : ReadEnd{};
}

sicl::MessageEnd Runner::readEndingAt(SessionId id, std::size_t limit,
                                      std::optional<std::uint8_t> until, std::string& answer,
                                      std::int32_t& reasons) {
    if (until) {
        m_sicl.itermchr(id, *until);
    }
    sicl::MessageEnd end{};
    try {
        end = sicl::readMessage(m_sicl, id, limit, answer, m_scratch, &reasons);
    } catch (const SiclError&) {
        if (until) {
            try {
                m_sicl.itermchr(id, -1);
            } catch (const SiclError&) {
                // The read's error is the one to report.
            }
        }
        throw;
    }
    if (until) {
        // Back to none, the default of every transport but the raw socket, which never gets here.
        m_sicl.itermchr(id, -1);
    }
    return end;
}

ReadEnd Runner::dropRest(SessionId id) {
    // The rest must not wait in the device for the next read: it is read and dropped, which
    // leaves the instrument's state alone; only when that fails is the device cleared.
    ReadEnd cut{true, {}, false};
    const auto [kept, whole] = m_lineRest.drop(id);
    const auto told = [&](std::size_t dropped) {
        cut.rest = "the other " + std::to_string(dropped) + " bytes were read and dropped";
        return cut;
    };
    if (whole) {
        return told(kept);
    }
    const std::chrono::milliseconds within(m_settings.timeoutMs > 0 ? m_settings.timeoutMs : 10000);
    try {
        const auto [dropped, ended] = sicl::discardMessage(m_sicl, id, within, m_scratch);
        if (ended) {
            return told(kept + dropped);
        }
    } catch (const SiclError&) {
        // Cleared below.
    }
    try {
        clear(id);
        cut.rest = "the rest did not come within the time-out, so the device was cleared";
    } catch (const SiclError& e) {
        cut.rest = "the rest may still wait in the device (clear failed: error " +
                   std::to_string(e.number()) + ": " + e.description() + ")";
    }
    return cut;
}

std::string Runner::queryText(SessionId id, const char* query) {
    send(id, message(query));
    read(id, kCheckAnswerMax, std::nullopt, m_check);
    return firstLine(m_check);
}

void Runner::clear(SessionId id) {
    m_lineRest.drop(id);
    m_sicl.iclear(id);
}

std::vector<std::string> Runner::takeErrors(SessionId id) {
    std::vector<std::string> reported;
    if (m_settings.checkErrors == CheckErrors::Esr) {
        const std::string answer = queryText(id, "*ESR?");
        const auto value = leadingNumber(answer);
        if (!value) {
            throw Failure("*ESR? answered '" + answer + "', not a number");
        }
        if ((*value & kEsrErrorBits) != 0) {
            reported.push_back("event status " + std::to_string(*value) + " (" +
                               esrBits(static_cast<int>(*value)) + ")");
        }
        return reported;
    }
    if (m_settings.checkErrors != CheckErrors::Syst) {
        return reported;
    }
    for (int i = 0; i < kMostErrors; ++i) {
        const std::string answer = queryText(id, "SYST:ERR?");
        const auto value = leadingNumber(answer);
        if (!value) {
            throw Failure("SYST:ERR? answered '" + answer + "', not an error number");
        }
        if (*value == 0) {
            break;
        }
        reported.push_back(answer);
    }
    return reported;
}

void Runner::setErrorsAside(SessionId id, std::string_view command) {
    const std::vector<std::string> older = takeErrors(id);
    if (!older.empty()) {
        m_out.err() << "siclquill-cli: " << command
                    << ": already queued before this command (not counted): " << joined(older)
                    << std::endl;
    }
}

void Runner::checkErrors(SessionId id) {
    const std::vector<std::string> reported = takeErrors(id);
    if (!reported.empty()) {
        throw Failure("the instrument reports " + joined(reported));
    }
}

} // namespace cli
