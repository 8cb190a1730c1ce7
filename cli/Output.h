#pragma once

#include <nlohmann/json.hpp>

#include <iosfwd>
#include <string>
#include <string_view>

namespace cli {

using Json = nlohmann::ordered_json;

/// 8-bit instrument text as a JSON string value (each byte one code point).
std::string jsonText(std::string_view bytes);

/// Where results and errors go: a line of text per result, or one JSON object per result.
class Output {
public:
    Output(bool json, std::ostream& out, std::ostream& err)
        : m_json(json), m_out(out), m_err(err) {}

    bool json() const noexcept { return m_json; }
    std::ostream& out() noexcept { return m_out; }
    std::ostream& err() noexcept { return m_err; }

    /// One result: `object` in JSON mode (its "command" field first), `text` and a line feed
    /// otherwise.
    void result(const Json& object, std::string_view text);
    /// A library failure: "COMMAND: error N: TEXT" on the error stream, and in JSON mode
    /// also {"command", "error": {"number", "text"}} on the output.
    void libraryError(std::string_view command, int number, std::string_view text);
    /// A failure that has no library error number.
    void failure(std::string_view command, std::string_view text);

private:
    bool m_json;
    std::ostream& m_out;
    std::ostream& m_err;
};

} // namespace cli
