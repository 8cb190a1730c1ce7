#include "trace/TracingLibrary.h"

#include "trace/JsonBytes.h"

#include <nlohmann/json.hpp>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace trace {

namespace {

using Json = nlohmann::ordered_json;

/// When a call began: wall time for the record, monotonic time for its duration.
struct Stamp {
    std::timespec wall{};
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();

    Stamp() { std::timespec_get(&wall, TIME_UTC); }
};

/// UTC, ISO 8601 with microseconds: 2024-05-01T12:34:56.123456Z.
std::string isoTime(const std::timespec& wall) {
    std::tm utc{};
    gmtime_r(&wall.tv_sec, &utc);
    std::array<char, 40> text{};
    const int n = std::snprintf(text.data(), text.size(), "%04d-%02d-%02dT%02d:%02d:%02d.%06ldZ",
                                utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour,
                                utc.tm_min, utc.tm_sec, static_cast<long>(wall.tv_nsec / 1000));
    return std::string(text.data(), n > 0 ? static_cast<std::size_t>(n) : 0);
}

std::string asCodePoints(std::string_view bytes) {
    return bytesAsCodePoints(bytes);
}

/// Adds the bytes of a transfer: at most kMaxTracedBytes of them, and the full count.
void addBytes(Json& record, std::string_view bytes, std::size_t fullLength) {
    record["data"] = asCodePoints(bytes.substr(0, kMaxTracedBytes));
    record["len"] = fullLength;
}

/// Writes one record as a line. A record that cannot be made is dropped; the call it
/// describes has already succeeded or failed on its own.
void writeRecord(TraceFile& file, const Json& record) {
    try {
        std::string line = record.dump(-1, ' ', true);
        // DEL is the one non-printable byte that the writer leaves as it is.
        for (std::size_t at = line.find('\x7f'); at != std::string::npos;
             at = line.find('\x7f', at)) {
            line.replace(at, 1, "\\u007f");
        }
        file.writeLine(line);
    } catch (...) {
        // Out of memory while formatting: this record is lost, the program goes on.
    }
}

/// Ends a record: the result and the error of a failed call, then the line into the file.
void finish(TraceFile& file, sicl::InstrumentLibrary& inner, Json& record, std::int16_t result,
            bool failed) {
    record["result"] = result;
    if (failed) {
        // The thread's last error is the one this call left; asking for it changes nothing.
        const std::int16_t number = inner.vb_igeterrno();
        std::array<char, sicl::kErrorTextBufferSize + 1> text{};
        inner.vb_igeterrstr(number, text.data());
        record["error"] = {{"number", number}, {"text", asCodePoints(text.data())}};
    }
    writeRecord(file, record);
}

/// The fields every record starts with.
Json begin(const Stamp& stamp, const char* call, sicl::SessionId id) {
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(
                        std::chrono::steady_clock::now() - stamp.start)
                        .count();
    return Json{{"t", isoTime(stamp.wall)}, {"us", us}, {"call", call}, {"id", id}};
}

/// Runs `body`, the inner call, and writes its record: `fill` adds the call's arguments and
/// results, and `failed` tells from the result whether the call failed.
template <typename Body, typename Fill>
std::int16_t traced(TraceFile& file, sicl::InstrumentLibrary& inner, const char* call,
                    sicl::SessionId id, Body&& body, Fill&& fill) {
    const Stamp stamp;
    const std::int16_t result = body();
    try {
        Json record = begin(stamp, call, id);
        fill(record);
        finish(file, inner, record, result, result != 0);
    } catch (...) {
    }
    return result;
}

} // namespace

TracingLibrary::TracingLibrary(sicl::InstrumentLibrary& inner, std::string path,
                               std::ostream& errors)
    : m_inner(inner), m_file(std::move(path), errors) {}

std::int16_t TracingLibrary::vb_iopen(const std::string& address) {
    if (!isOn()) {
        return m_inner.vb_iopen(address);
    }
    const Stamp stamp;
    const std::int16_t id = m_inner.vb_iopen(address);
    try {
        Json record = begin(stamp, "iopen", id);
        record["address"] = asCodePoints(address);
        // iopen answers with the new id, and 0 when it failed.
        finish(m_file, m_inner, record, id, id == 0);
    } catch (...) {
    }
    return id;
}

std::int16_t TracingLibrary::vb_iclose(sicl::SessionId id) {
    if (!isOn()) {
        return m_inner.vb_iclose(id);
    }
    return traced(
        m_file, m_inner, "iclose", id, [&] { return m_inner.vb_iclose(id); }, [](Json&) {});
}

std::int16_t TracingLibrary::vb_iwrite(std::int32_t one, sicl::SessionId id, std::string_view buf,
                                       std::int32_t datalen, std::int16_t endi,
                                       std::int32_t& actual) {
    if (!isOn()) {
        return m_inner.vb_iwrite(one, id, buf, datalen, endi, actual);
    }
    return traced(
        m_file, m_inner, "iwrite", id,
        [&] { return m_inner.vb_iwrite(one, id, buf, datalen, endi, actual); },
        [&](Json& r) {
            r["count"] = datalen;
            r["end"] = endi;
            r["actual"] = actual;
            const std::size_t n = datalen < 0 ? 0 : static_cast<std::size_t>(datalen);
            const std::string_view sent = buf.substr(0, n);
            addBytes(r, sent, sent.size());
        });
}

std::int16_t TracingLibrary::vb_iread(std::int32_t one, sicl::SessionId id, std::string& buf,
                                      std::int32_t bufsize, std::int32_t& reason,
                                      std::int32_t& actual) {
    if (!isOn()) {
        return m_inner.vb_iread(one, id, buf, bufsize, reason, actual);
    }
    return traced(
        m_file, m_inner, "iread", id,
        [&] { return m_inner.vb_iread(one, id, buf, bufsize, reason, actual); },
        [&](Json& r) {
            r["max"] = bufsize;
            r["reason"] = reason;
            r["actual"] = actual;
            const std::size_t n = actual < 0 ? 0 : static_cast<std::size_t>(actual);
            const std::string_view got = std::string_view(buf).substr(0, n);
            addBytes(r, got, got.size());
        });
}

std::int16_t TracingLibrary::vb_itermchr(sicl::SessionId id, std::int16_t tchr) {
    if (!isOn()) {
        return m_inner.vb_itermchr(id, tchr);
    }
    return traced(
        m_file, m_inner, "itermchr", id, [&] { return m_inner.vb_itermchr(id, tchr); },
        [&](Json& r) { r["char"] = tchr; });
}

std::int16_t TracingLibrary::vb_iclear(sicl::SessionId id) {
    if (!isOn()) {
        return m_inner.vb_iclear(id);
    }
    return traced(
        m_file, m_inner, "iclear", id, [&] { return m_inner.vb_iclear(id); }, [](Json&) {});
}

std::int16_t TracingLibrary::vb_ireadstb(sicl::SessionId id, std::int16_t& stb) {
    if (!isOn()) {
        return m_inner.vb_ireadstb(id, stb);
    }
    return traced(
        m_file, m_inner, "ireadstb", id, [&] { return m_inner.vb_ireadstb(id, stb); },
        [&](Json& r) { r["stb"] = stb; });
}

std::int16_t TracingLibrary::vb_itrigger(sicl::SessionId id) {
    if (!isOn()) {
        return m_inner.vb_itrigger(id);
    }
    return traced(
        m_file, m_inner, "itrigger", id, [&] { return m_inner.vb_itrigger(id); }, [](Json&) {});
}

std::int16_t TracingLibrary::vb_iremote(sicl::SessionId id) {
    if (!isOn()) {
        return m_inner.vb_iremote(id);
    }
    return traced(
        m_file, m_inner, "iremote", id, [&] { return m_inner.vb_iremote(id); }, [](Json&) {});
}

std::int16_t TracingLibrary::vb_ilocal(sicl::SessionId id) {
    if (!isOn()) {
        return m_inner.vb_ilocal(id);
    }
    return traced(
        m_file, m_inner, "ilocal", id, [&] { return m_inner.vb_ilocal(id); }, [](Json&) {});
}

std::int16_t TracingLibrary::vb_ilock(sicl::SessionId id) {
    if (!isOn()) {
        return m_inner.vb_ilock(id);
    }
    return traced(
        m_file, m_inner, "ilock", id, [&] { return m_inner.vb_ilock(id); }, [](Json&) {});
}

std::int16_t TracingLibrary::vb_iunlock(sicl::SessionId id) {
    if (!isOn()) {
        return m_inner.vb_iunlock(id);
    }
    return traced(
        m_file, m_inner, "iunlock", id, [&] { return m_inner.vb_iunlock(id); }, [](Json&) {});
}

std::int16_t TracingLibrary::vb_itimeout(sicl::SessionId id, std::int32_t tval) {
    if (!isOn()) {
        return m_inner.vb_itimeout(id, tval);
    }
    return traced(
        m_file, m_inner, "itimeout", id, [&] { return m_inner.vb_itimeout(id, tval); },
        [&](Json& r) { r["ms"] = tval; });
}

std::int16_t TracingLibrary::vb_igpibbusstatus(sicl::SessionId id, std::int16_t request,
                                               std::int16_t& result) {
    if (!isOn()) {
        return m_inner.vb_igpibbusstatus(id, request, result);
    }
    return traced(
        m_file, m_inner, "igpibbusstatus", id,
        [&] { return m_inner.vb_igpibbusstatus(id, request, result); },
        [&](Json& r) {
            r["request"] = request;
            r["value"] = result;
        });
}

std::int16_t TracingLibrary::vb_igpibrenctl(sicl::SessionId id, std::int16_t value) {
    if (!isOn()) {
        return m_inner.vb_igpibrenctl(id, value);
    }
    return traced(
        m_file, m_inner, "igpibrenctl", id, [&] { return m_inner.vb_igpibrenctl(id, value); },
        [&](Json& r) { r["value"] = value; });
}

std::int16_t TracingLibrary::vb_igpibatnctl(sicl::SessionId id, std::int16_t value) {
    if (!isOn()) {
        return m_inner.vb_igpibatnctl(id, value);
    }
    return traced(
        m_file, m_inner, "igpibatnctl", id, [&] { return m_inner.vb_igpibatnctl(id, value); },
        [&](Json& r) { r["value"] = value; });
}

std::int16_t TracingLibrary::vb_igpibsendcmd(sicl::SessionId id, const std::string& cmdstr,
                                             std::int32_t length) {
    if (!isOn()) {
        return m_inner.vb_igpibsendcmd(id, cmdstr, length);
    }
    return traced(
        m_file, m_inner, "igpibsendcmd", id,
        [&] { return m_inner.vb_igpibsendcmd(id, cmdstr, length); },
        [&](Json& r) {
            r["count"] = length;
            const std::size_t n = length < 0 ? 0 : static_cast<std::size_t>(length);
            const std::string_view sent = std::string_view(cmdstr).substr(0, n);
            addBytes(r, sent, sent.size());
        });
}

std::int16_t TracingLibrary::vb_igeterrno() {
    const std::int16_t number = m_inner.vb_igeterrno();
    if (isOn()) {
        const Stamp stamp;
        try {
            Json record = begin(stamp, "igeterrno", 0);
            record["result"] = number;
            writeRecord(m_file, record);
        } catch (...) {
        }
    }
    return number;
}

std::int16_t TracingLibrary::vb_igeterrstr(std::int16_t errnum, char* buf) {
    if (!isOn()) {
        return m_inner.vb_igeterrstr(errnum, buf);
    }
    const Stamp stamp;
    const std::int16_t result = m_inner.vb_igeterrstr(errnum, buf);
    try {
        Json record = begin(stamp, "igeterrstr", 0);
        record["number"] = errnum;
        if (result == 0 && buf != nullptr) {
            record["text"] =
                asCodePoints(std::string_view(buf, ::strnlen(buf, sicl::kErrorTextBufferSize)));
        }
        record["result"] = result;
        writeRecord(m_file, record);
    } catch (...) {
    }
    return result;
}

std::optional<std::string> tracePath(const std::optional<std::string>& option) {
    if (option) {
        return option;
    }
    const char* value = std::getenv(kTraceVariable);
    if (value != nullptr && *value != '\0') {
        return std::string(value);
    }
    return std::nullopt;
}

std::unique_ptr<TracingLibrary> traceIfAsked(sicl::InstrumentLibrary& inner,
                                             const std::optional<std::string>& path,
                                             std::ostream& errors) {
    if (!path) {
        return nullptr;
    }
    return std::make_unique<TracingLibrary>(inner, *path, errors);
}

} // namespace trace
