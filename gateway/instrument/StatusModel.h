#pragma once
// An IEEE 488.2 instrument's status: the standard event status register and its enable, the
// service request enable, the error queue, and the request for service (RQS) that the status
// byte's summary bits raise. Message available (MAV) belongs to the output queue, so every
// call that needs it is told whether an answer is readable.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

namespace gateway {

/// Status byte bits.
namespace stb {
constexpr std::uint8_t kEav = 0x04; ///< error queue not empty
constexpr std::uint8_t kMav = 0x10; ///< message available
constexpr std::uint8_t kEsb = 0x20; ///< event status summary
constexpr std::uint8_t kRqs = 0x40; ///< requesting service
} // namespace stb

/// Standard event status register bits.
namespace esr {
constexpr std::uint8_t kOpc = 0x01;
constexpr std::uint8_t kQueryError = 0x04;
constexpr std::uint8_t kExecutionError = 0x10;
constexpr std::uint8_t kCommandError = 0x20;
} // namespace esr

/// Error numbers of the error queue (as SYST:ERR? reports them).
namespace scpi {
constexpr int kUndefinedHeader = -113;
constexpr int kSettingsConflict = -221;
constexpr int kDataOutOfRange = -222;
constexpr int kIllegalParameterValue = -224;
constexpr int kQueueOverflow = -350;
constexpr int kInputBufferOverrun = -363;
constexpr int kQueryInterrupted = -410;
} // namespace scpi

class StatusModel {
public:
    /// Queues error `code` with its `text` and sets `eventBits` in the event status register.
    /// A full queue keeps its size: its last entry becomes "Queue overflow".
    void fail(int code, std::string_view text, std::uint8_t eventBits);
    /// Takes the oldest error ("0,\"No error\"" when there is none), as SYST:ERR? does.
    std::string nextError();
    std::size_t errorCount() const { return m_errors.size(); }

    /// Sets bits of the event status register (*OPC).
    void raise(std::uint8_t eventBits) { m_esr |= eventBits; }
    std::uint8_t eventStatus() const { return m_esr; }
    /// Reads and clears the event status register (*ESR?).
    std::uint8_t takeEventStatus();
    /// *CLS: clears the event status register and the error queue.
    void clearStatus();

    std::uint8_t eventEnable() const { return m_ese; }
    void setEventEnable(std::uint8_t value) { m_ese = value; }
    std::uint8_t serviceEnable() const { return m_sre; }
    /// *SRE: bit 6 (RQS) cannot be enabled and is dropped.
    void setServiceEnable(std::uint8_t value);

    /// The status byte without RQS: EAV, MAV (`messageAvailable`) and ESB.
    std::uint8_t summaryBits(bool messageAvailable) const;
    /// *STB?: the summary bits with the master summary status in bit 6. Clears nothing.
    std::uint8_t masterSummary(bool messageAvailable) const;
    /// Follows the summary bits: RQS rises when an enabled one appears, and falls when the
    /// condition goes away.
    void update(bool messageAvailable);
    /// The status byte as a serial poll reads it (RQS included), after an update.
    std::uint8_t statusByte(bool messageAvailable);
    /// A serial poll: the status byte, then RQS falls.
    std::uint8_t serialPoll(bool messageAvailable);
    /// True while the instrument requests service, after an update.
    bool requestingService(bool messageAvailable);
    /// As requestingService() when no bit is enabled: nothing to compute.
    bool requestingNothing() {
        m_rqs = false;
        m_summaryWasSet = false;
        return false;
    }
    /// How many times RQS has risen: a watcher that sees it change knows of a new request
    /// even when it missed the fall before it.
    std::uint32_t requests() const { return m_requests; }

private:
    std::deque<std::string> m_errors;
    std::uint8_t m_esr = 0;
    std::uint8_t m_ese = 0;
    std::uint8_t m_sre = 0;
    bool m_rqs = false;
    bool m_summaryWasSet = false;
    std::uint32_t m_requests = 0;
};

} // namespace gateway
