#pragma once

#include "sicl/ForwardingLibrary.h"
#include "trace/TraceFile.h"

#include <cstddef>
#include <iosfwd>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace trace {

/// Most bytes of one transfer that a record holds; `len` gives the full count.
inline constexpr std::size_t kMaxTracedBytes = 4096;

/// The environment variable that turns the trace on when no option names a file.
inline constexpr const char* kTraceVariable = "SICLQUILL_TRACE";

/// The instrument library with every entry call recorded: one JSON object per line, with the
/// time, the duration, the entry, the session, its arguments, the bytes that went out or came
/// in, the result and, for a failed call, the library's error number and text.
///
/// The calls themselves pass through unchanged. Once the trace file has failed, or when it
/// never opened, an entry costs one relaxed load more than the bare library and allocates
/// nothing. Safe to call from several threads, as the library is.
class TracingLibrary final : public sicl::ForwardingLibrary {
public:
    /// Traces the calls into `inner` to the file at `path`; open failures go to `errors`.
    TracingLibrary(sicl::InstrumentLibrary& inner, std::string path, std::ostream& errors);

    /// True while records are written.
    bool isOn() const noexcept { return m_file.isOn(); }

    std::int16_t vb_iopen(const std::string& address) override;
    std::int16_t vb_iclose(sicl::SessionId id) override;
    std::int16_t vb_iwrite(std::int32_t one, sicl::SessionId id, std::string_view buf,
                           std::int32_t datalen, std::int16_t endi, std::int32_t& actual) override;
    std::int16_t vb_iread(std::int32_t one, sicl::SessionId id, std::string& buf,
                          std::int32_t bufsize, std::int32_t& reason,
                          std::int32_t& actual) override;
    std::int16_t vb_itermchr(sicl::SessionId id, std::int16_t tchr) override;
    std::int16_t vb_iclear(sicl::SessionId id) override;
    std::int16_t vb_ireadstb(sicl::SessionId id, std::int16_t& stb) override;
    std::int16_t vb_itrigger(sicl::SessionId id) override;
    std::int16_t vb_iremote(sicl::SessionId id) override;
    std::int16_t vb_ilocal(sicl::SessionId id) override;
    std::int16_t vb_ilock(sicl::SessionId id) override;
    std::int16_t vb_ilockshared(sicl::SessionId id, const std::string& key) override;
    std::int16_t vb_iunlock(sicl::SessionId id) override;
    std::int16_t vb_itimeout(sicl::SessionId id, std::int32_t tval) override;
    std::int16_t vb_igpibbusstatus(sicl::SessionId id, std::int16_t request,
                                   std::int16_t& result) override;
    std::int16_t vb_igpibrenctl(sicl::SessionId id, std::int16_t value) override;
    std::int16_t vb_igpibatnctl(sicl::SessionId id, std::int16_t value) override;
    std::int16_t vb_igpibsendcmd(sicl::SessionId id, const std::string& cmdstr,
                                 std::int32_t length) override;
    std::int16_t vb_iwaitsrq(sicl::SessionId id, std::int32_t waitMs) override;
    std::int16_t vb_igeterrno() override;
    std::int16_t vb_igeterrstr(std::int16_t errnum, char* buf) override;

private:
    /// Runs `body` (the forwarded call) and, while the trace is on, writes its record: the
    /// common fields, what `fill` adds, the result and, for a failure, the error.
    template <typename Body, typename Fill>
    std::int16_t record(const char* call, sicl::SessionId id, Body&& body, Fill&& fill);

    /// The transport of each session opened through this trace, for its records.
    const char* transportOf(sicl::SessionId id) const;

    TraceFile m_file;
    mutable std::mutex m_mutex; ///< guards m_transports
    std::map<sicl::SessionId, const char*> m_transports;
};

/// The trace file to use: `option` when given (a command-line `--trace FILE`), otherwise the
/// value of SICLQUILL_TRACE when set and not empty.
std::optional<std::string> tracePath(const std::optional<std::string>& option);

/// `inner` wrapped in a trace to `path`, or null when no path is given: callers then use
/// `inner` itself, and an untraced program pays nothing at all.
std::unique_ptr<TracingLibrary> traceIfAsked(sicl::InstrumentLibrary& inner,
                                             const std::optional<std::string>& path,
                                             std::ostream& errors);

} // namespace trace
