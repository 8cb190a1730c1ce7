// The commands on one instrument: query, write, read, spoll, clear, trigger, local, remote,
// lock and unlock.
#include "cli/Answer.h"
#include "cli/Commands.h"
#include "cli/Errors.h"
#include "cli/InputFile.h"
#include "sicl/GpibBus.h"

#include <chrono>

namespace cli {

namespace {

using sicl::SessionId;

/// Largest file `write --file` sends (the library takes at most 2 GiB - 1 bytes at once).
constexpr std::uintmax_t kMostFileBytes = std::uintmax_t{1} << 30;

/// Reads the answer of `device` and prints it; then, with --check-errors, asks for errors.
int readAndPrint(Context& c, const std::string& command, const DeviceAddress& device, SessionId id,
                 const ReadOptions& options, bool check) {
    std::string answer;
    ReadEnd end;
    try {
        end = c.runner.read(id, options.max, options.until, answer);
    } catch (const sicl::SiclError& e) {
        if (answer.empty()) {
            throw;
        }
        throw CutAnswer(e, keepPartial(c.out, answer, options, e.number()));
    }
    const int status = printAnswer(c.out, command, device, answer, options, end);
    // A connection the instrument closed has no one left to ask.
    if (check && !end.closed) {
        c.runner.checkErrors(id);
    }
    return status;
}

/// What a definite-length block's header can count: nine digits.
constexpr std::uintmax_t kMostBlockBytes = 999999999;

/// TEXT, the bytes of `file` (as an IEEE 488.2 definite-length block when `asBlock`) and
/// `tail`, the terminators; the file is read by `deadline`.
std::string withFile(const std::string& text, InputFile& file, bool asBlock, net::Deadline deadline,
                     const std::string& tail) {
    const std::string data = file.readAll(deadline);
    std::string header;
    if (asBlock) {
        if (data.size() > kMostBlockBytes) {
            throw Failure(file.path() + " holds " + std::to_string(data.size()) +
                          " bytes: a block holds at most " + std::to_string(kMostBlockBytes));
        }
        const std::string length = std::to_string(data.size());
        header = "#" + std::to_string(length.size()) + length;
    }
    std::string bytes;
    bytes.reserve(text.size() + header.size() + data.size() + tail.size());
    return bytes.append(text).append(header).append(data).append(tail);
}

/// Addresses the device as listener on the interface session and sends `tail` after it.
void addressAndSend(Runner& r, const DeviceAddress& device, std::string tail) {
    const SessionId intf = r.interface();
    std::int16_t own = 0;
    r.sicl().igpibbusstatus(intf, sicl::busstatus::kBusAddress, own);
    std::string bytes{static_cast<char>(sicl::gpib::kUnl),
                      static_cast<char>(sicl::gpib::kTalkBase + (own & 0x1F)),
                      static_cast<char>(sicl::gpib::kListenBase + *device.pad)};
    if (device.sad) {
        bytes += static_cast<char>(sicl::gpib::kSecondaryBase + *device.sad);
    }
    bytes += tail;
    bytes += static_cast<char>(sicl::gpib::kUnl);
    r.sicl().igpibsendcmd(intf, bytes, static_cast<std::int32_t>(bytes.size()));
}

/// A device operation with nothing to print but that it was done.
int done(Context& c, const DeviceAddress& device, const std::string& text) {
    c.out.result(Json{{"command", std::string(c.name)}, {"address", device.typed}}, text);
    return kOk;
}

} // namespace

int queryOn(Context& c, const DeviceAddress& device, const std::string& text) {
    // Bad read options are bad usage: found before anything is sent.
    const ReadOptions options = readOptions(c.values, c.out.json());
    Runner& r = c.runner;
    const SessionId id = r.device(device);
    r.setErrorsAside(id, c.name);
    r.send(id, r.message(text));
    return readAndPrint(c, "query", device, id, options, true);
}

int writeOn(Context& c, const DeviceAddress& device, const std::string& text) {
    Runner& r = c.runner;
    // A file that cannot be read is found before anything is sent.
    std::optional<InputFile> file;
    if (c.values.file) {
        file.emplace(*c.values.file, kMostFileBytes, "1 GiB");
    }
    const SessionId id = r.device(device);
    r.setErrorsAside(id, c.name);
    std::int32_t actual = 0;
    if (file) {
        // Reading the file is part of the write: both share the command's time-out.
        const auto start = std::chrono::steady_clock::now();
        const std::int32_t ms = r.settings().timeoutMs;
        const std::string bytes =
            withFile(text, *file, c.values.wrapBlock,
                     ms > 0 ? net::Deadline::at(start + std::chrono::milliseconds(ms))
                            : net::Deadline::never(),
                     r.message({}));
        actual = r.send(id, bytes,
                        std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - start));
    } else {
        actual = r.send(id, r.message(text));
    }
    Json object{{"command", "write"}, {"address", device.typed}, {"bytes", actual}};
    if (c.values.file) {
        object["file"] = *c.values.file;
    }
    c.out.result(object, "wrote " + byteCount(static_cast<std::size_t>(actual)));
    r.checkErrors(id);
    return kOk;
}

int readOn(Context& c, const DeviceAddress& device) {
    const ReadOptions options = readOptions(c.values, c.out.json());
    return readAndPrint(c, "read", device, c.runner.device(device), options, false);
}

int runQuery(Context& c) {
    const DeviceAddress device = c.device(TextNeed::Required);
    return queryOn(c, device, *c.values.text);
}

int runWrite(Context& c) {
    if (c.values.wrapBlock && !c.values.file) {
        throw UsageError("--block wraps the bytes of --file FILE");
    }
    const DeviceAddress device = c.device(c.values.file ? TextNeed::Optional : TextNeed::Required);
    return writeOn(c, device, c.values.text.value_or(""));
}

int runRead(Context& c) {
    return readOn(c, c.device(TextNeed::None));
}

int runSpoll(Context& c) {
    const DeviceAddress device = c.device(TextNeed::None);
    std::int16_t stb = 0;
    c.runner.sicl().ireadstb(c.runner.device(device), stb);
    const int value = stb & 0xFF;
    c.out.result(Json{{"command", "spoll"}, {"address", device.typed}, {"stb", value}},
                 statusByteText(value));
    return kOk;
}

int runClear(Context& c) {
    const DeviceAddress device = c.device(TextNeed::None);
    c.runner.clear(c.runner.device(device));
    return done(c, device, "device cleared");
}

int runTrigger(Context& c) {
    const DeviceAddress device = c.device(TextNeed::None);
    c.runner.sicl().itrigger(c.runner.device(device));
    return done(c, device, "device triggered");
}

int runLock(Context& c) {
    const DeviceAddress device = c.device(TextNeed::None);
    const std::optional<std::string>& key = c.values.sharedKey;
    if (key && key->empty()) {
        throw UsageError("--shared needs a NAME");
    }
    const SessionId id = c.runner.device(device);
    if (key) {
        c.runner.sicl().ilockshared(id, *key);
    } else {
        c.runner.sicl().ilock(id);
    }
    c.runner.noteLock(device, true);
    if (!key) {
        return done(c, device, "device locked");
    }
    c.out.result(Json{{"command", "lock"}, {"address", device.typed}, {"shared", jsonText(*key)}},
                 "device locked, shared as " + *key);
    return kOk;
}

int runUnlock(Context& c) {
    const DeviceAddress device = c.device(TextNeed::None);
    c.runner.noteLock(device, false);
    c.runner.sicl().iunlock(c.runner.device(device));
    return done(c, device, "device unlocked");
}

int runLocal(Context& c) {
    const DeviceAddress device = c.device(TextNeed::None);
    if (device.pad) {
        addressAndSend(c.runner, device, std::string(1, static_cast<char>(sicl::gpib::kGtl)));
    } else {
        // A device by name may have no bus behind it (a LAN instrument): its link says it.
        c.runner.sicl().ilocal(c.runner.device(device));
    }
    return done(c, device, "device to local");
}

int runRemote(Context& c) {
    const DeviceAddress device = c.device(TextNeed::None);
    if (device.pad) {
        // With REN asserted, a device addressed to listen goes to remote.
        c.runner.sicl().igpibrenctl(c.runner.interface(), 1);
        addressAndSend(c.runner, device, {});
    } else {
        c.runner.sicl().iremote(c.runner.device(device));
    }
    return done(c, device, "device to remote");
}

} // namespace cli
