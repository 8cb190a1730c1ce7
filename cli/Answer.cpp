#include "cli/Answer.h"

#include "cli/BusBytes.h"
#include "cli/Errors.h"
#include "library/LibraryError.h"
#include "sicl/ReadMessage.h"

#include <cctype>
#include <cstdio>
#include <fstream>

namespace cli {

namespace {

/// Most bytes a read takes by default, and a block read.
constexpr std::size_t kDefaultReadMax = 1024 * 1024;
constexpr std::size_t kDefaultBlockMax = std::size_t{1} << 30;

/// The data of a block that came cut short: what came after its header, nothing when the
/// header itself was cut. Bytes that are no block stay as they are.
void dropHeaderOfCutBlock(std::string& r) {
    if (r.size() < 2 || r[0] != '#' || r[1] < '0' || r[1] > '9') {
        return;
    }
    const auto header = sicl::parseBlockHeader(r);
    r.erase(0, r[1] == '0' ? 2 : header ? header->size : r.size());
}

/// What ended a read that failed with library error `number`, for "... came before ...".
std::string failureName(int number) {
    switch (number) {
    case library::liberr::kIoTimeout:
        return "the time-out";
    case library::liberr::kInterrupted:
        return "Ctrl-C";
    case library::liberr::kConnectionLost:
        return "the connection was lost";
    default:
        return "error " + std::to_string(number);
    }
}

/// Bytes as a line of text: printable ASCII as it is, others escaped (\r, \n, \xHH); at most
/// the first kShownBytes.
std::string shown(std::string_view bytes) {
    constexpr std::size_t kShownBytes = 200;
    std::string text;
    char hex[8];
    for (const char c : bytes.substr(0, kShownBytes)) {
        const auto b = static_cast<unsigned char>(c);
        if (b == '\r' || b == '\n' || b == '\t' || b == '\\') {
            text += b == '\r' ? "\\r" : b == '\n' ? "\\n" : b == '\t' ? "\\t" : "\\\\";
        } else if (b >= 0x20 && b < 0x7F) {
            text += c;
        } else {
            std::snprintf(hex, sizeof hex, "\\x%02x", b);
            text += hex;
        }
    }
    return bytes.size() > kShownBytes ? text + "..." : text;
}

void writeFile(const std::string& path, const std::string& data) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(data.data(), static_cast<std::streamsize>(data.size()));
    file.close();
    if (!file) {
        throw Failure("cannot write " + path);
    }
}

} // namespace

std::string byteCount(std::size_t n) {
    return std::to_string(n) + (n == 1 ? " byte" : " bytes");
}

std::uint8_t parseChar(const std::string& text) {
    if (text.size() == 1) {
        return static_cast<std::uint8_t>(text[0]);
    }
    if (text == "\\n") {
        return '\n';
    }
    if (text == "\\r") {
        return '\r';
    }
    if (text == "\\t") {
        return '\t';
    }
    if (text == "\\\\") {
        return '\\';
    }
    if (text.size() == 4 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X') &&
        std::isxdigit(static_cast<unsigned char>(text[2])) != 0 &&
        std::isxdigit(static_cast<unsigned char>(text[3])) != 0) {
        return static_cast<std::uint8_t>(std::stoi(text.substr(2), nullptr, 16));
    }
    throw UsageError("--until takes one character, \\n, \\r, \\t or 0xHH, not '" + text + "'");
}

ReadOptions readOptions(const CommandValues& values, bool json) {
    ReadOptions o;
    o.raw = values.raw;
    o.block = values.block;
    o.hex = values.hex;
    o.out = values.out;
    o.max = values.max.value_or(o.block ? kDefaultBlockMax : kDefaultReadMax);
    if (values.until) {
        o.until = parseChar(*values.until);
    }
    if (o.out && *o.out == "-" && json) {
        throw UsageError("--out - and --json would both use standard output");
    }
    if (o.out && o.hex) {
        throw UsageError("--hex prints the answer; --out writes it to a file: choose one");
    }
    return o;
}

void unwrapBlock(std::string& r) {
    if (r.size() < 2 || r[0] != '#' || r[1] < '0' || r[1] > '9') {
        throw Failure("the answer is no IEEE 488.2 block (it does not start with # and a digit)");
    }
    if (r[1] == '0') {
        r.erase(0, 2);
        if (!r.empty() && r.back() == '\n') {
            r.pop_back();
        }
        return;
    }
    const auto header = sicl::parseBlockHeader(r);
    if (!header) {
        throw Failure(r.size() < 2u + static_cast<std::size_t>(r[1] - '0')
                          ? "block header cut short"
                          : "block length is not a number");
    }
    const std::size_t have = r.size() - header->size;
    if (have < header->length) {
        throw Failure("block cut short: " + std::to_string(have) + " of " +
                      std::to_string(header->length) + " bytes");
    }
    r.resize(header->size + header->length);
    r.erase(0, header->size);
}

std::string hexDump(std::string_view bytes) {
    std::string dump;
    char line[96];
    for (std::size_t at = 0; at < bytes.size(); at += 16) {
        std::string hex;
        std::string shown;
        for (std::size_t i = at; i < at + 16; ++i) {
            if (i < bytes.size()) {
                const auto b = static_cast<unsigned char>(bytes[i]);
                std::snprintf(line, sizeof line, "%02x ", b);
                hex += line;
                shown += b >= 0x20 && b < 0x7F ? static_cast<char>(b) : '.';
            } else {
                hex += "   ";
            }
            if (i == at + 7) {
                hex += ' ';
            }
        }
        std::snprintf(line, sizeof line, "%08zx  ", at);
        dump += (dump.empty() ? "" : "\n") + std::string(line) + hex + " |" + shown + "|";
    }
    return dump;
}

PartialAnswer keepPartial(Output& out, std::string& answer, const ReadOptions& options,
                          int number) {
    PartialAnswer kept{byteCount(answer.size()) + " came before " + failureName(number),
                       Json{{"bytes", answer.size()}}};
    if (options.block) {
        dropHeaderOfCutBlock(answer);
        kept.note += " (" + byteCount(answer.size()) + " of the block's data)";
    }
    if (!options.out) {
        kept.fields["partial"] = jsonText(answer);
        kept.note += ": " + shown(answer);
        return kept;
    }
    if (*options.out == "-") {
        out.bytes(answer);
        kept.note += ", written to standard output";
    } else {
        writeFile(*options.out, answer);
        kept.note += ", written to " + *options.out;
    }
    kept.fields["file"] = *options.out;
    return kept;
}

int printAnswer(Output& out, const std::string& command, const DeviceAddress& device,
                std::string& answer, const ReadOptions& options, const ReadEnd& end) {
    Json object{{"command", command}, {"address", device.typed}, {"bytes", answer.size()}};
    if (options.block) {
        if (end.truncated) {
            dropHeaderOfCutBlock(answer);
        } else {
            unwrapBlock(answer);
        }
        object["block_bytes"] = answer.size();
    }
    std::string problem;
    if (end.truncated) {
        object["truncated"] = true;
        problem = "the answer is longer than the read limit of " + byteCount(options.max) +
                  ": kept " + (options.block ? "the block's first " : "the first ") +
                  byteCount(answer.size()) + (options.block ? " of data, " : ", ") + end.rest +
                  "; raise the limit with --max N";
    }
    const bool toFile = options.out && *options.out != "-";
    std::string text;
    if (toFile) {
        writeFile(*options.out, answer);
        object["file"] = *options.out;
        text = "wrote " + byteCount(answer.size()) + " to " + *options.out;
    } else if (options.hex) {
        object["answer"] = jsonText(answer);
        object["hex"] = hexText(answer);
        text = hexDump(answer);
    } else if (options.raw || options.block || options.out) {
        object["answer"] = jsonText(answer);
    } else {
        text = firstLine(answer);
        object["answer"] = jsonText(text);
    }
    if (!problem.empty()) {
        object["error"] = Json{{"number", nullptr}, {"text", problem}};
    }
    if (!toFile && !options.hex && (options.raw || options.block || options.out) && !out.json()) {
        // The bytes exactly as they came (or as the block held them), nothing added.
        out.bytes(answer);
    } else {
        out.result(object, text);
    }
    if (end.closed) {
        out.err() << "siclquill-cli: " << command
                  << ": the instrument closed the connection to end the answer; the next command "
                     "connects again"
                  << std::endl;
    }
    if (!problem.empty()) {
        out.err() << "siclquill-cli: " << command << ": " << problem << std::endl;
        return kFailed;
    }
    return kOk;
}

} // namespace cli
