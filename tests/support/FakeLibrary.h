#pragma once

#include "sicl/InstrumentLibrary.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

/// One recorded call into the fake library.
struct Call {
    std::string entry;              ///< entry name, e.g. "vb_iopen"
    std::vector<std::int64_t> args; ///< numeric arguments in order (ids, counts, flags)
    std::string text;               ///< text argument (address, written bytes, command bytes)

    bool operator==(const Call&) const = default;
};

/// A scripted instrument library for tests: records every call with its arguments, and can be
/// told what each entry returns and which error number and text it leaves behind.
///
/// By default every entry succeeds: vb_iopen hands out ids 1, 2, 3, ...; reads return an empty
/// response; bus status answers 0 (request 8 answers `ownAddress`).
class FakeLibrary : public sicl::InstrumentLibrary {
public:
    /// How one scripted failure looks.
    struct Failure {
        std::int16_t result = 1; ///< the entry's result (vb_iopen: the id, usually 0)
        std::int16_t errorNumber = 1;
        std::string errorText; ///< copied into the caller's buffer, cut at 59 bytes
    };

    // ---- scripting ----
    /// The next call of `entry` fails once (queued: several calls queue several failures).
    void failNext(const std::string& entry, std::int16_t errorNumber, const std::string& text,
                  std::int16_t result = -1);
    /// Every call of `entry` fails until clearFailures().
    void failAlways(const std::string& entry, std::int16_t errorNumber, const std::string& text,
                    std::int16_t result = -1);
    void clearFailures();
    /// Queues the bytes that the next read returns (the reason is END).
    void queueRead(std::string bytes, std::int32_t reason = 4);

    /// The interface's own address (bus status request 8).
    std::int16_t ownAddress = 0;
    /// Answers bus status requests; defaults to 0 for 1, 2, 3 and `ownAddress` for 8.
    std::function<std::int16_t(sicl::SessionId id, std::int16_t request)> busStatus;
    /// Status byte of a serial poll.
    std::int16_t statusByte = 0;
    /// Next id vb_iopen hands out.
    std::int16_t nextId = 1;
    /// Called after every recorded call, before the entry answers (e.g. to change scripting).
    std::function<void(const Call&)> onCall;

    // ---- inspection ----
    std::vector<Call> calls;
    /// The calls of one entry, in order.
    std::vector<Call> callsTo(const std::string& entry) const;
    /// Just the entry names, in order (handy for sequence checks).
    std::vector<std::string> entries() const;
    /// Calls other than vb_igeterrno and vb_igeterrstr.
    std::vector<Call> operations() const;
    void clearCalls() { calls.clear(); }

    // ---- the entries ----
    std::int16_t vb_iopen(const std::string& address) override;
    std::int16_t vb_iclose(sicl::SessionId id) override;
    std::int16_t vb_iwrite(std::int32_t one, sicl::SessionId id, std::string_view buf,
                           std::int32_t datalen, std::int16_t endi, std::int32_t& actual) override;
    std::int16_t vb_iread(std::int32_t one, sicl::SessionId id, std::string& buf,
                          std::int32_t bufsize, std::int32_t& reason,
                          std::int32_t& actual) override;
    std::int16_t vb_itermchr(sicl::SessionId id, std::int16_t tchr) override;
    std::int16_t vb_iclear(sicl::SessionId id) override;
    std::int16_t vb_ireadstb(sicl::SessionId id, std::int16_t& stb) override;
    std::int16_t vb_itrigger(sicl::SessionId id) override;
    std::int16_t vb_iremote(sicl::SessionId id) override;
    std::int16_t vb_ilocal(sicl::SessionId id) override;
    std::int16_t vb_ilock(sicl::SessionId id) override;
    std::int16_t vb_ilockshared(sicl::SessionId id, const std::string& key) override;
    std::int16_t vb_iunlock(sicl::SessionId id) override;
    std::int16_t vb_itimeout(sicl::SessionId id, std::int32_t tval) override;
    std::int16_t vb_igpibbusstatus(sicl::SessionId id, std::int16_t request,
                                   std::int16_t& result) override;
    std::int16_t vb_igpibrenctl(sicl::SessionId id, std::int16_t value) override;
    std::int16_t vb_igpibatnctl(sicl::SessionId id, std::int16_t value) override;
    std::int16_t vb_igpibsendcmd(sicl::SessionId id, const std::string& cmdstr,
                                 std::int32_t length) override;
    std::int16_t vb_iwaitsrq(sicl::SessionId id, std::int32_t waitMs) override;
    std::int16_t vb_igeterrno() override;
    std::int16_t vb_igeterrstr(std::int16_t errnum, char* buf) override;

private:
    /// Records the call and answers a scripted failure, if one is due.
    std::optional<std::int16_t> record(Call call);

    std::map<std::string, std::deque<Failure>> m_once;
    std::map<std::string, Failure> m_always;
    std::deque<std::pair<std::string, std::int32_t>> m_reads;
    std::int16_t m_errno = 0;
    std::string m_errText;
    std::map<std::int16_t, std::string> m_texts;
};

} // namespace testsupport
