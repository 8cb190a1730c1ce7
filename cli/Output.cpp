#include "cli/Output.h"

#include "cli/Errors.h"
#include "trace/JsonBytes.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ostream>

namespace cli {

namespace {

/// One line of JSON. Text from the user (a file name, a host) may not be UTF-8; such bytes
/// become U+FFFD rather than an exception.
std::string line(const Json& object) {
    return object.dump(-1, ' ', false, Json::error_handler_t::replace);
}

} // namespace

std::string firstLine(std::string_view answer) {
    return std::string(answer.substr(0, answer.find_first_of("\r\n")));
}

std::string statusByteText(int value) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%02X", value & 0xFF);
    return "status byte " + std::to_string(value) + " (" + hex + ")";
}

std::string jsonText(std::string_view bytes) {
    return trace::bytesAsCodePoints(bytes);
}

void Output::check() {
    if (m_failed) {
        throw OutputError("standard output failed before");
    }
    m_out.flush();
    if (!m_out) {
        // The stream keeps no errno; the failed write or flush has just set it.
        const int error = errno;
        m_failed = true;
        throw OutputError(error != 0 ? std::strerror(error) : "write failed");
    }
}

void Output::result(const Json& object, std::string_view text) {
    errno = 0;
    if (m_json) {
        m_out << line(object) << '\n';
    } else {
        m_out << text << '\n';
    }
    check();
}

void Output::bytes(std::string_view data) {
    errno = 0;
    m_out.write(data.data(), static_cast<std::streamsize>(data.size()));
    check();
}

void Output::error(std::string_view command, std::string_view address, std::optional<int> number,
                   std::string_view text, bool usage, const Json& extra) {
    m_err << "siclquill-cli: " << command << (command.empty() ? "" : ": ");
    if (number) {
        m_err << "error " << *number << ": ";
    }
    m_err << text << std::endl;
    if (!m_json || m_failed) {
        return;
    }
    Json object{{"command", command.empty() ? Json(nullptr) : Json(command)}};
    if (!address.empty()) {
        object["address"] = address;
    }
    Json error{{"number", number ? Json(*number) : Json(nullptr)}, {"text", jsonText(text)}};
    if (usage) {
        error["usage"] = true;
    }
    object["error"] = error;
    if (extra.is_object()) {
        object.update(extra);
    }
    errno = 0;
    m_out << line(object) << '\n';
    check();
}

void Output::outputFailed(std::string_view why) {
    m_failed = true;
    if (!m_told) {
        m_told = true;
        m_err << "siclquill-cli: cannot write standard output: " << why << std::endl;
    }
}

bool Output::finish() {
    if (!m_failed) {
        errno = 0;
        m_out.flush();
        if (!m_out) {
            const int error = errno;
            outputFailed(error != 0 ? std::strerror(error) : "write failed");
        }
    }
    return !m_failed;
}

} // namespace cli
