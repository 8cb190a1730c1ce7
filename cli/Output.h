#pragma once

#include <nlohmann/json.hpp>

#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>

namespace cli {

using Json = nlohmann::ordered_json;

/// 8-bit instrument text as a JSON string value (each byte one code point).
std::string jsonText(std::string_view bytes);
/// An answer as the window shows it: cut at its first CR or LF.
std::string firstLine(std::string_view answer);
/// A status byte as spoll and srq print it: "status byte V (0xHH)".
std::string statusByteText(int value);

/// Where results and errors go: a line of text per result, or one JSON object per result.
/// Every write to standard output is checked: the first that fails raises OutputError, and
/// from then on the output counts as failed (finish() tells).
class Output {
public:
    Output(bool json, std::ostream& out, std::ostream& err)
        : m_json(json), m_out(out), m_err(err) {}

    bool json() const noexcept { return m_json; }
    std::ostream& err() noexcept { return m_err; }

    /// One result: `object` in JSON mode (its "command" field first), `text` and a line feed
    /// otherwise.
    void result(const Json& object, std::string_view text);
    /// Bytes exactly as they are, nothing added (an answer printed raw).
    void bytes(std::string_view data);
    /// An error of `command` (on `address`, when one is known): "COMMAND: error N: TEXT" (or
    /// "COMMAND: TEXT" without a library number) on the error stream, and in JSON mode also
    /// {"command", "address", "error": {"number", "text"}} on the output; `usage` marks bad
    /// usage there ("usage": true); the fields of `extra` (an object) join it.
    void error(std::string_view command, std::string_view address, std::optional<int> number,
               std::string_view text, bool usage = false, const Json& extra = {});
    /// Says once, on the error stream, that standard output failed (after OutputError).
    void outputFailed(std::string_view why);
    /// Flushes standard output; false when it (or anything written before) failed, after
    /// saying so once on the error stream.
    bool finish();
    bool failed() const noexcept { return m_failed; }

private:
    /// Raises OutputError when the output stream has failed.
    void check();

    bool m_json;
    std::ostream& m_out;
    std::ostream& m_err;
    bool m_failed = false;
    bool m_told = false;
};

} // namespace cli
