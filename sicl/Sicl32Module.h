#pragma once

#include "sicl/InstrumentLibrary.h"
#include "sicl/SiclError.h"

#include <cstdint>
#include <string>

namespace sicl {

/// The wrappers through which the window (fifteen of them) and the command line reach the
/// instrument library.
///
/// Each wrapper calls one entry with its arguments in order and returns the entry's 16-bit
/// result. When the entry reports a failure and the library has an error number for it, the
/// wrapper raises SiclError with that number and the library's text; a failure without an
/// error number goes unreported and the result is returned as it came. Wrappers keep no state
/// and never check their arguments: a session id of 0 reaches the library unchanged.
class Sicl32Module {
public:
    explicit Sicl32Module(InstrumentLibrary& library) : m_lib(library) {}

    /// Opens a session; the result is the new id (0 on an unreported failure).
    std::int16_t iopen(const std::string& addr);
    std::int16_t iclose(SessionId id);
    /// Writes `datalen` bytes of `buf` (8-bit text) with the end flag `endi`.
    std::int16_t iwrite(SessionId id, const std::string& buf, std::int32_t datalen,
                        std::int16_t endi, std::int32_t& actual);
    /// Reads into the start of `buf`, at most `bufsize` bytes.
    std::int16_t iread(SessionId id, std::string& buf, std::int32_t bufsize, std::int32_t& reason,
                       std::int32_t& actual);
    std::int16_t itermchr(SessionId id, std::int16_t tchr);
    std::int16_t iclear(SessionId id);
    std::int16_t ireadstb(SessionId id, std::int16_t& stb);
    std::int16_t itrigger(SessionId id);
    std::int16_t iremote(SessionId id);
    std::int16_t ilocal(SessionId id);
    std::int16_t ilock(SessionId id);
    /// Shared lock under `key` (transports with shared locks only).
    std::int16_t ilockshared(SessionId id, const std::string& key);
    std::int16_t iunlock(SessionId id);
    std::int16_t itimeout(SessionId id, std::int32_t tval);
    std::int16_t igpibbusstatus(SessionId id, std::int16_t request, std::int16_t& result);
    std::int16_t igpibrenctl(SessionId id, std::int16_t value);
    std::int16_t igpibatnctl(SessionId id, std::int16_t value);
    /// Sends `length` command bytes; the wrapper works on its own copy of `cmdstr`.
    std::int16_t igpibsendcmd(SessionId id, std::string cmdstr, std::int32_t length);
    /// Waits up to `waitMs` (0: without limit) for a service request.
    std::int16_t iwaitsrq(SessionId id, std::int32_t waitMs);

    /// The library the wrappers call.
    InstrumentLibrary& library() const noexcept { return m_lib; }

private:
    /// Raises SiclError for the library's current error, unless its number is 0.
    void raiseLibraryError();
    /// Applies the failure test "result is not 0" shared by every wrapper but iopen.
    std::int16_t checkStatus(std::int16_t status);

    InstrumentLibrary& m_lib;
};

} // namespace sicl
