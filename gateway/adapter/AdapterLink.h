#pragma once

#include "gateway/adapter/AdapterPlace.h"
#include "gateway/adapter/AdapterTypes.h"
#include "gateway/adapter/ByteStream.h"
#include "gateway/adapter/PlusPlusCodec.h"
#include "net/Deadline.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace gateway::adapter {

/// What a running call shows the link: whether its caller is still waiting for it.
class JobControl {
public:
    virtual ~JobControl() = default;
    /// True once the caller has gone (its deadline, its stop): nothing new is started for it.
    virtual bool abandoned() const = 0;
};

/// The caller's side of a read: takes message bytes until it has what it asked for.
class ReadConsumer : public JobControl {
public:
    /// Offers bytes, END after the last of them when `end`; returns how many it took.
    virtual std::size_t offer(std::span<const std::uint8_t> bytes, bool end) = 0;
    /// True once it has all it wants.
    virtual bool satisfied() const = 0;
    /// Bytes of the message after it was satisfied (`end`: the message ends with them): true
    /// when it passed them on for a later reader, so the link keeps none of them.
    virtual bool follow(std::span<const std::uint8_t> bytes, bool end) {
        (void)bytes;
        (void)end;
        return false;
    }
};

/// The adapter did not answer as it must (silent past every bound, or out of step).
class AdapterSilent : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// The owner is shutting the link down.
class LinkHalted : public std::exception {};

/// How to reach and drive one adapter.
struct LinkConfig {
    AdapterPlace device;
    int baud = 115200;
    Flavour flavour = Flavour::Auto;
    /// The adapter's per-byte time-out (`++read_tmo_ms`): what an absent device costs, and
    /// how long a read is watched for silence before its end is certain.
    std::chrono::milliseconds perByte{200};
    /// How long an adapter may take to answer its first `++ver` (an AR488 resets on open).
    std::chrono::milliseconds probeWindow{5000};
    /// The per-byte time-out while serial polls look for instruments.
    std::chrono::milliseconds scanPerByte{50};
    /// The end-of-transmission marker (`++eot_char`).
    std::uint8_t marker = 0xFE;
    /// The controller's own GPIB address, whose talk address in command bytes addresses nobody.
    std::uint8_t ownAddress = 0;
    Log log;
};

/// One open adapter, driven synchronously by its single owner: identification, set-up, and
/// each operation as the commands and replies of its flavour. It remembers what it set (the
/// address, `++eoi`, the per-byte time-out) so it repeats nothing, and keeps the unread rest
/// of each address's message. Loss throws net::TransportError; an adapter out of step throws
/// AdapterSilent (resync() then puts it back in step, or throws again).
class AdapterLink {
public:
    AdapterLink(LinkConfig config, const std::atomic<bool>& halt);

    /// Opens the stream, identifies the flavour and sets the adapter up.
    void open(net::Deadline deadline);
    void close() noexcept;
    bool isOpen() const noexcept { return m_stream != nullptr; }
    /// True once the stream's other end is known gone.
    bool hungUp() const { return m_stream && m_stream->hungUp(); }
    Flavour flavour() const noexcept { return m_flavour; }
    /// The adapter's `++ver` line.
    const std::string& version() const noexcept { return m_version; }
    const std::string& name() const noexcept { return m_name; }
    /// True when the stream may be out of step: resync() before the next operation.
    bool suspect() const noexcept { return m_suspect; }
    /// Reads and drops everything up to the answer to a fresh `++ver`.
    void resync();

    /// Writes one message (END on its last byte when `end`); `progress` follows the bytes
    /// that went out. Stops between lines once `control` is abandoned.
    WriteResult write(const GpibAddress& address, std::span<const std::uint8_t> data, bool end,
                      const JobControl& control, std::atomic<std::size_t>& progress);
    /// Reads from `address` into `consumer`, from the rest of an earlier message first; what
    /// it does not take is kept for the address's next read (dropped once it is abandoned).
    /// With `oneRead`, a `++read` that ends by the per-byte time-out ends it too.
    Outcome read(const GpibAddress& address, ReadConsumer& consumer, bool oneRead = false);
    /// Serial-polls `address`.
    PollResult serialPoll(const GpibAddress& address);
    /// Sends `command` (one or more LF-ended lines without replies) and confirms it was done.
    Outcome command(std::string_view command);
    /// The same, to `address` made the current one first.
    Outcome addressed(const GpibAddress& address, std::string_view command);
    /// Asks `command` (`++srq`, `++ren`) for a line that reads 0 or 1.
    LineResult queryLine(std::string_view command);
    /// The listeners the adapter's search finds (AR488).
    AddressList findListeners();
    /// Those of `candidates` that answer a serial poll, until `control` is abandoned.
    AddressList answeringPoll(const std::vector<GpibAddress>& candidates,
                              const JobControl& control);
    /// Keeps `bytes` for the address's next read, before anything kept already (`complete`: the
    /// message ended with them).
    void keep(const GpibAddress& address, std::vector<std::uint8_t> bytes, bool complete);
    /// Drops the kept rest of one address's message, or of all.
    void forget(const std::optional<GpibAddress>& address);

private:
    struct Pending {
        std::vector<std::uint8_t> bytes;
        bool complete = false; ///< the message ended (EOI) after its last byte
    };
    using Key = std::pair<int, int>;
    static Key keyOf(const GpibAddress& address);

    // link set-up (AdapterLinkOpen.cpp)
    std::string probeVersion(net::Deadline deadline);
    Flavour identify(const std::string& version);
    void setUp();

    // the stream: commands are queued and go out together with the next flush
    void queue(std::string_view text);
    void flush();
    std::span<const std::uint8_t> fetch(net::Deadline deadline);
    void consume(std::size_t count);
    std::string readLine(net::Deadline deadline);
    std::vector<std::string> linesUntil(std::string_view last, net::Deadline deadline);
    std::vector<std::string> linesUntilQuiet(std::chrono::milliseconds quiet,
                                             net::Deadline deadline);
    /// Sends what is queued with the sentinel behind it, and judges the lines before its reply.
    Outcome confirm(std::size_t steps = 1);
    Outcome outcomeOf(const std::vector<std::string>& lines);
    void ensureAddress(const GpibAddress& address);
    void ensurePerByte(std::chrono::milliseconds perByte);
    bool ownAddress(const GpibAddress& address) const;
    std::chrono::milliseconds jitter() const;
    net::Deadline replyBound(std::size_t steps = 1) const;

    // reads (AdapterLinkIo.cpp)
    bool readOnce(ReadConsumer& consumer, Pending& rest);
    void route(std::span<const std::uint8_t> bytes, bool final, bool eoi, ReadConsumer& consumer,
               Pending& rest);

    LinkConfig m_config;
    const std::atomic<bool>& m_halt;
    std::unique_ptr<ByteStream> m_stream;
    std::string m_name;
    Flavour m_flavour = Flavour::Auto;
    std::string m_version;
    std::vector<std::uint8_t> m_out;
    std::vector<std::uint8_t> m_buffer;
    std::size_t m_bufferStart = 0;
    std::size_t m_bufferEnd = 0;
    std::optional<GpibAddress> m_address;
    std::optional<bool> m_eoi;
    std::optional<std::chrono::milliseconds> m_perByteSet;
    std::map<Key, Pending> m_pending;
    bool m_suspect = false;
};

} // namespace gateway::adapter
