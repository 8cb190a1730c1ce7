#pragma once
// A `++` GPIB adapter: the host's bytes in, the adapter's bytes out, the bus driven as that
// adapter drives it, with its flavour's replies and quirks. Single-threaded as the adapter
// is: while a read or a poll runs, the host's next bytes wait where they are and are taken in
// order once it ends, and nothing the host sends can end a running read.

#include "gateway/emulator/EmulatedBus.h"
#include "gateway/emulator/LineFramer.h"
#include "gateway/emulator/Settings.h"
#include "gateway/emulator/StopSignal.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace gateway::emulator {

/// What an emulated adapter is.
struct EmulatorOptions {
    Flavour flavour = Flavour::Ar488;
    bool overNetwork = false; ///< a Prologix then names itself an Ethernet one, else a USB one
    int ownAddress = 0;       ///< the controller's own GPIB address
    /// How long host bytes are lost after `++rst`, while the adapter restarts.
    std::chrono::milliseconds resetPause{1000};
    /// Told each line the adapter takes from its host, for tests: a command with its `++`,
    /// a piece of a data line as its bytes.
    std::function<void(std::string_view)> heard = {};
};

/// Where the adapter's bytes go.
class HostOutput {
public:
    virtual ~HostOutput() = default;
    /// Sends `bytes` whole, waiting while the host is slow to take them. Throws HostGone when
    /// the host went away, Stopped when the adapter is stopped meanwhile.
    virtual void send(std::span<const std::uint8_t> bytes) = 0;
};

/// Thrown by a HostOutput whose host has gone: what the adapter was doing is abandoned.
class HostGone : public std::exception {
public:
    const char* what() const noexcept override { return "host gone"; }
};

/// The adapter's state machine.
class Emulator final : private LineSink {
public:
    Emulator(EmulatedBus& bus, HostOutput& host, const StopSignal& stop, EmulatorOptions options);

    /// What the adapter does when it starts in controller mode: IFC, then REN asserted.
    void powerOn();
    /// Takes bytes from the host and does what they say, replying as it goes.
    void feed(std::span<const std::uint8_t> bytes);
    /// A new host: the half-received line of the last one is forgotten.
    void hostChanged();

private:
    using Words = std::vector<std::string_view>;
    /// A command of the table: its name, who knows it, and what it does.
    struct Row;
    /// A number setting of the table, queried without a word and set with one.
    struct SettingRow;
    /// How a read ends, besides its time-out.
    struct ReadEnd {
        bool atEnd = false;               ///< at a byte sent with END
        std::optional<std::uint8_t> byte; ///< after this byte ...
        std::string_view sequence;        ///< ... when it completes this sequence (if any)
    };

    // ---- The lines (Emulator.cpp).
    void data(std::span<const std::uint8_t> piece, bool lineEnd) override;
    bool ar488() const noexcept { return m_options.flavour == Flavour::Ar488; }
    /// One reply line to the host, CR LF added.
    void reply(std::string_view text);
    /// The flavour's reply to a word that is neither a number nor a keyword it knows.
    void badKeyword();
    /// The deadline of a handshake that starts now: the per-byte time-out.
    net::Deadline timeLimit() const;
    /// Runs a bus handshake `op(deadline)` (true when answered) under the per-byte time-out,
    /// in slices so that a stop is noticed; false once the time-out is spent in full, as on a
    /// real bus, even when the bus knew at once that nobody answers.
    bool handshake(const std::function<bool(net::Deadline)>& op);
    /// Sends `bytes` to `device`, END with the last if `end`; false when it did not listen.
    bool writeAll(GpibAddress device, std::span<const std::uint8_t> bytes, bool end);
    /// What the adapter does after a data line: read the answer when `++auto` says so.
    void afterLine(std::span<const std::uint8_t> line);

    // ---- The command table, settings and bus commands (EmulatorCommands.cpp).
    void command(std::string_view text) override;
    static const Row* findRow(std::string_view name);
    static const SettingRow* findSetting(std::string_view name);
    void setting(const SettingRow& row, const Words& words);
    void addr(const Words& words);
    void mode(const Words& words);
    void clr(const Words& words);
    void ifc(const Words& words);
    void llo(const Words& words);
    void loc(const Words& words);
    void trg(const Words& words);
    void ren(const Words& words);
    void unl(const Words& words);
    void unt(const Words& words);
    void dcl(const Words& words);
    void srq(const Words& words);
    void ver(const Words& words);
    void rst(const Words& words);
    void savecfg(const Words& words);
    void defaults(const Words& words);
    /// The one keyword `llo` and `loc` take: true for "all" (AR488), false for no word,
    /// nothing (answered as the flavour does) for any other word.
    std::optional<bool> allWord(const Words& words);
    /// The secondary address an AR488 or a Prologix accepts in `word`.
    std::optional<int> secondary(std::string_view word) const;
    /// Every address of a `++trg` list, or nothing when one is bad.
    std::optional<std::vector<GpibAddress>> triggerList(const Words& words) const;

    // ---- Reads and searches (EmulatorReads.cpp).
    void read(const Words& words);
    void spoll(const Words& words);
    void allSpoll(const Words& words);
    void fndl(const Words& words);
    /// How a plain read ends with the settings as they are.
    ReadEnd plainReadEnd(bool eoiAsked) const;
    /// Streams what `device` sends to the host until `end` or the per-byte time-out.
    void readToHost(GpibAddress device, const ReadEnd& end);
    std::optional<std::uint8_t> poll(GpibAddress device);
    /// The primaries `++fndl` is to search, or nothing when the words are bad (answered).
    std::optional<std::vector<int>> searchList(const Words& words);
    /// The listeners at `primary` as `++fndl` prints them; nothing when the bus failed.
    std::optional<std::string> listenersAt(int primary);
    /// Whether NDAC shows a listener after `bytes` went as commands; nothing if not taken.
    std::optional<bool> listenerAfter(std::span<const std::uint8_t> bytes);

    EmulatedBus& m_bus;
    HostOutput& m_host;
    const StopSignal& m_stop;
    const EmulatorOptions m_options;
    LineFramer m_framer;
    Settings m_settings;
    Settings m_saved; ///< what `++rst` comes back to
    std::vector<std::uint8_t> m_buffer;
    bool m_lineFailed = false; ///< the data line under way found no listener
    std::optional<std::chrono::steady_clock::time_point> m_deafUntil;
};

} // namespace gateway::emulator
