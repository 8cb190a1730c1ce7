#include "trace/TracingLibrary.h"

#include "trace/JsonBytes.h"

#include "library/Resource.h"

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
        file.writeLine(record.dump(-1, ' ', true));
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

} // namespace

TracingLibrary::TracingLibrary(sicl::InstrumentLibrary& inner, std::string path,
                               std::ostream& errors)
    : ForwardingLibrary(inner), m_file(std::move(path), errors) {}

template <typename Body, typename Fill>
std::int16_t TracingLibrary::record(const char* call, sicl::SessionId id, Body&& body,
                                    Fill&& fill) {
    if (!isOn()) {
        return body();
    }
    const Stamp stamp;
    const std::int16_t result = body();
    try {
        Json r = begin(stamp, call, id);
        if (const char* transport = transportOf(id)) {
            r["transport"] = transport;
        }
        fill(r);
        finish(m_file, inner(), r, result, result != 0);
    } catch (...) {
        // A record that cannot be made is lost; the call has already done its work.
    }
    return result;
}

namespace {

/// For entries whose record holds nothing beyond the common fields.
void noFields(Json&) {}

} // namespace

std::int16_t TracingLibrary::vb_iopen(const std::string& address) {
    if (!isOn()) {
        return ForwardingLibrary::vb_iopen(address);
    }
    const Stamp stamp;
    const std::int16_t id = ForwardingLibrary::vb_iopen(address);
    try {
        const char* transport = "vxi-11";
        try {
            transport = library::transportName(library::parseResource(address).kind);
        } catch (const std::exception&) {
            // An address that does not parse has failed to open; it is the VXI-11 form's error.
        }
        if (id != 0) {
            std::lock_guard lock(m_mutex);
            m_transports[id] = transport;
        }
        Json r = begin(stamp, "iopen", id);
        r["transport"] = transport;
        r["address"] = asCodePoints(address);
        // iopen answers with the new id, and 0 when it failed.
        finish(m_file, inner(), r, id, id == 0);
    } catch (...) {
    }
    return id;
}

std::int16_t TracingLibrary::vb_iclose(sicl::SessionId id) {
    const std::int16_t result = record(
        "iclose", id, [&] { return ForwardingLibrary::vb_iclose(id); }, noFields);
    if (isOn()) {
        std::lock_guard lock(m_mutex);
        m_transports.erase(id);
    }
    return result;
}

const char* TracingLibrary::transportOf(sicl::SessionId id) const {
    std::lock_guard lock(m_mutex);
    const auto it = m_transports.find(id);
    return it == m_transports.end() ? nullptr : it->second;
}

std::int16_t TracingLibrary::vb_iwrite(std::int32_t one, sicl::SessionId id, std::string_view buf,
                                       std::int32_t datalen, std::int16_t endi,
                                       std::int32_t& actual) {
    return record(
        "iwrite", id,
        [&] { return ForwardingLibrary::vb_iwrite(one, id, buf, datalen, endi, actual); },
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
    return record(
        "iread", id,
        [&] { return ForwardingLibrary::vb_iread(one, id, buf, bufsize, reason, actual); },
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
    return record(
        "itermchr", id, [&] { return ForwardingLibrary::vb_itermchr(id, tchr); },
        [&](Json& r) { r["char"] = tchr; });
}

std::int16_t TracingLibrary::vb_iclear(sicl::SessionId id) {
    return record(
        "iclear", id, [&] { return ForwardingLibrary::vb_iclear(id); }, noFields);
}

std::int16_t TracingLibrary::vb_ireadstb(sicl::SessionId id, std::int16_t& stb) {
    return record(
        "ireadstb", id, [&] { return ForwardingLibrary::vb_ireadstb(id, stb); },
        [&](Json& r) { r["stb"] = stb; });
}

std::int16_t TracingLibrary::vb_itrigger(sicl::SessionId id) {
    return record(
        "itrigger", id, [&] { return ForwardingLibrary::vb_itrigger(id); }, noFields);
}

std::int16_t TracingLibrary::vb_iremote(sicl::SessionId id) {
    return record(
        "iremote", id, [&] { return ForwardingLibrary::vb_iremote(id); }, noFields);
}

std::int16_t TracingLibrary::vb_ilocal(sicl::SessionId id) {
    return record(
        "ilocal", id, [&] { return ForwardingLibrary::vb_ilocal(id); }, noFields);
}

std::int16_t TracingLibrary::vb_ilock(sicl::SessionId id) {
    return record(
        "ilock", id, [&] { return ForwardingLibrary::vb_ilock(id); }, noFields);
}

std::int16_t TracingLibrary::vb_ilockshared(sicl::SessionId id, const std::string& key) {
    return record(
        "ilockshared", id, [&] { return ForwardingLibrary::vb_ilockshared(id, key); },
        [&](Json& r) { r["key"] = asCodePoints(key); });
}

std::int16_t TracingLibrary::vb_iunlock(sicl::SessionId id) {
    return record(
        "iunlock", id, [&] { return ForwardingLibrary::vb_iunlock(id); }, noFields);
}

std::int16_t TracingLibrary::vb_itimeout(sicl::SessionId id, std::int32_t tval) {
    return record(
        "itimeout", id, [&] { return ForwardingLibrary::vb_itimeout(id, tval); },
        [&](Json& r) { r["ms"] = tval; });
}

std::int16_t TracingLibrary::vb_igpibbusstatus(sicl::SessionId id, std::int16_t request,
                                               std::int16_t& result) {
    return record(
        "igpibbusstatus", id,
        [&] { return ForwardingLibrary::vb_igpibbusstatus(id, request, result); },
        [&](Json& r) {
            r["request"] = request;
            r["value"] = result;
        });
}

std::int16_t TracingLibrary::vb_igpibrenctl(sicl::SessionId id, std::int16_t value) {
    return record(
        "igpibrenctl", id, [&] { return ForwardingLibrary::vb_igpibrenctl(id, value); },
        [&](Json& r) { r["value"] = value; });
}

std::int16_t TracingLibrary::vb_igpibatnctl(sicl::SessionId id, std::int16_t value) {
    return record(
        "igpibatnctl", id, [&] { return ForwardingLibrary::vb_igpibatnctl(id, value); },
        [&](Json& r) { r["value"] = value; });
}

std::int16_t TracingLibrary::vb_igpibsendcmd(sicl::SessionId id, const std::string& cmdstr,
                                             std::int32_t length) {
    return record(
        "igpibsendcmd", id, [&] { return ForwardingLibrary::vb_igpibsendcmd(id, cmdstr, length); },
        [&](Json& r) {
            r["count"] = length;
            const std::size_t n = length < 0 ? 0 : static_cast<std::size_t>(length);
            const std::string_view sent = std::string_view(cmdstr).substr(0, n);
            addBytes(r, sent, sent.size());
        });
}

std::int16_t TracingLibrary::vb_iwaitsrq(sicl::SessionId id, std::int32_t waitMs) {
    return record(
        "iwaitsrq", id, [&] { return ForwardingLibrary::vb_iwaitsrq(id, waitMs); },
        [&](Json& r) { r["ms"] = waitMs; });
}

std::int16_t TracingLibrary::vb_igeterrno() {
    const std::int16_t number = ForwardingLibrary::vb_igeterrno();
    if (isOn()) {
        const Stamp stamp;
        try {
            Json r = begin(stamp, "igeterrno", 0);
            r["result"] = number;
            writeRecord(m_file, r);
        } catch (...) {
        }
    }
    return number;
}

std::int16_t TracingLibrary::vb_igeterrstr(std::int16_t errnum, char* buf) {
    if (!isOn()) {
        return ForwardingLibrary::vb_igeterrstr(errnum, buf);
    }
    const Stamp stamp;
    const std::int16_t result = ForwardingLibrary::vb_igeterrstr(errnum, buf);
    try {
        Json r = begin(stamp, "igeterrstr", 0);
        r["number"] = errnum;
        if (result == 0 && buf != nullptr) {
            r["text"] =
                asCodePoints(std::string_view(buf, ::strnlen(buf, sicl::kErrorTextBufferSize)));
        }
        r["result"] = result;
        writeRecord(m_file, r);
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
