#include "cli/Output.h"

#include "trace/JsonBytes.h"

#include <ostream>

namespace cli {

namespace {

/// One line of JSON. Text from the user (a file name, a host) may not be UTF-8; such bytes
/// become U+FFFD rather than an exception.
std::string line(const Json& object) {
    return object.dump(-1, ' ', false, Json::error_handler_t::replace);
}

} // namespace

std::string jsonText(std::string_view bytes) {
    return trace::bytesAsCodePoints(bytes);
}

void Output::result(const Json& object, std::string_view text) {
    if (m_json) {
        m_out << line(object) << '\n';
    } else {
        m_out << text << '\n';
    }
    m_out.flush();
}

void Output::libraryError(std::string_view command, int number, std::string_view text) {
    m_err << "siclquill-cli: " << command << ": error " << number << ": " << text << std::endl;
    if (m_json) {
        const Json object{{"command", command},
                          {"error", {{"number", number}, {"text", jsonText(text)}}}};
        m_out << line(object) << std::endl;
    }
}

void Output::failure(std::string_view command, std::string_view text) {
    m_err << "siclquill-cli: " << command << ": " << text << std::endl;
    if (m_json) {
        const Json object{{"command", command}, {"error", {{"text", text}}}};
        m_out << line(object) << std::endl;
    }
}

} // namespace cli
