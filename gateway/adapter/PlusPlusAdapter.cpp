#include "gateway/adapter/PlusPlusAdapter.h"

#include "gateway/adapter/CommandBytes.h"
#include "gateway/adapter/ReadRouter.h"

#include <algorithm>
#include <memory>

namespace gateway::adapter {

namespace {

/// The most room a read makes for its answer at once; a longer answer grows from there.
constexpr std::size_t kMostReserved = 64 << 20;
/// The most of a message's rest kept for the address's next reads while the adapter reads it.
constexpr std::size_t kMostFollowed = 64 << 20;

/// Waits, on the worker, for the first bytes of a message and takes none: they, and what
/// follows them in the same read, stay for the address's next read.
class FirstBytes final : public ReadConsumer {
public:
    explicit FirstBytes(JobState& job) : m_job(job) {}

    bool abandoned() const override { return m_job.abandoned(); }
    bool satisfied() const override { return m_came; }
    std::size_t offer(std::span<const std::uint8_t> bytes, bool end) override {
        if (!bytes.empty() || end) {
            m_came = true;
            m_job.answer(Outcome::Done);
        }
        return 0;
    }

private:
    JobState& m_job;
    bool m_came = false;
};

/// True when a Prologix has no `++` command for the action.
bool prologixLacks(BusAction::Kind kind) {
    using Kind = BusAction::Kind;
    return kind == Kind::Lockout || kind == Kind::UniversalClear || kind == Kind::Unlisten ||
           kind == Kind::Untalk;
}

Outcome runAction(AdapterLink& link, const BusAction& action) {
    using Kind = BusAction::Kind;
    switch (action.kind) {
    case Kind::Target:
        return link.addressed(action.address, "");
    case Kind::Clear:
        link.forget(action.address);
        return link.addressed(action.address, "++clr\n");
    case Kind::Trigger:
        return link.addressed(action.address, "++trg\n");
    case Kind::Local:
        return link.addressed(action.address, "++loc\n");
    case Kind::Lockout:
        return link.command("++llo all\n");
    case Kind::UniversalClear:
        link.forget(std::nullopt);
        return link.command("++dcl\n");
    case Kind::Unlisten:
        return link.command("++unl\n");
    case Kind::Untalk:
        return link.command("++unt\n");
    case Kind::Poll:
        return link.serialPoll(action.address).outcome;
    }
    return Outcome::NotSupported;
}

} // namespace

const char* outcomeText(Outcome outcome) {
    switch (outcome) {
    case Outcome::Done:
        return "done";
    case Outcome::TimedOut:
        return "timed out";
    case Outcome::Stopped:
        return "stopped";
    case Outcome::NotSupported:
        return "operation not supported by this adapter";
    case Outcome::IoError:
        return "no listener, or the adapter refused";
    case Outcome::AdapterBusy:
        return "adapter busy";
    case Outcome::AdapterGone:
        return "adapter gone";
    }
    return "unknown outcome";
}

Outcome PlusPlusAdapter::runOutcome(std::function<Outcome(AdapterLink&)> body,
                                    const CallLimits& limits) {
    auto result = std::make_shared<Outcome>(Outcome::Done);
    const Outcome ran = m_worker.run(
        [body = std::move(body), result](AdapterLink& link, JobState&) { *result = body(link); },
        limits.deadline, limits.stop);
    return ran == Outcome::Done ? *result : ran;
}

WriteResult PlusPlusAdapter::write(const GpibAddress& address, std::span<const std::uint8_t> data,
                                   bool end, const CallLimits& limits) {
    // The worker may still be sending after the caller left: it works on its own copy.
    auto message = std::make_shared<std::vector<std::uint8_t>>(data.begin(), data.end());
    auto progress = std::make_shared<std::atomic<std::size_t>>(0);
    auto result = std::make_shared<WriteResult>();
    const Outcome ran = m_worker.run(
        [=](AdapterLink& link, JobState& job) {
            *result = link.write(address, *message, end, job, *progress);
        },
        limits.deadline, limits.stop);
    return ran == Outcome::Done ? *result : WriteResult{ran, progress->load()};
}

ReadResult PlusPlusAdapter::read(const GpibAddress& address, std::size_t max,
                                 std::optional<std::uint8_t> termChar, const Sink& sink,
                                 const CallLimits& limits) {
    if (max == 0) {
        return {Outcome::Done, 0, false, false, true};
    }
    // The adapter may still be reading the rest of this address's message for an earlier
    // reader: that rest is taken as it comes, not after the adapter's whole read.
    if (const std::shared_ptr<ReadTail> tail = m_tails.find(address)) {
        if (auto taken =
                tail->take(max, termChar, limits.slice, sink, limits.deadline, limits.stop)) {
            return *taken;
        }
    }
    auto result = std::make_shared<ReadResult>();
    std::size_t delivered = 0;
    const Sink counted = [&](std::vector<std::uint8_t>& bytes) {
        delivered += bytes.size();
        sink(bytes);
    };
    const Outcome ran = m_worker.run(
        [=, this](AdapterLink& link, JobState& job) {
            // Address space only, until bytes come: pages are taken as they are written.
            job.reserve(std::min(max, kMostReserved));
            ReadRouter router(job, *result, max, termChar, limits.slice);
            router.followInto(m_tails, address, kMostFollowed);
            const Outcome outcome = link.read(address, router, limits.oneRead);
            router.finish(link);
            if (!router.satisfied()) {
                result->outcome = outcome; // once answered, the result is the caller's
            }
        },
        limits.deadline, limits.stop, &counted);
    if (ran != Outcome::Done) {
        return {ran, delivered, false, false, false};
    }
    result->count = delivered;
    return *result;
}

Outcome PlusPlusAdapter::awaitMessage(const GpibAddress& address, const CallLimits& limits) {
    return m_worker.run(
        [=](AdapterLink& link, JobState& job) {
            FirstBytes first(job);
            const Outcome outcome = link.read(address, first, true);
            job.answer(outcome != Outcome::Done || first.satisfied() ? outcome : Outcome::TimedOut);
        },
        limits.deadline, limits.stop);
}

PollResult PlusPlusAdapter::serialPoll(const GpibAddress& address, const CallLimits& limits) {
    if (is(Flavour::Ar488) && address.secondary) {
        return {Outcome::NotSupported, 0};
    }
    auto result = std::make_shared<PollResult>();
    const Outcome ran =
        m_worker.run([=](AdapterLink& link, JobState&) { *result = link.serialPoll(address); },
                     limits.deadline, limits.stop);
    return ran == Outcome::Done ? *result : PollResult{ran, 0};
}

Outcome PlusPlusAdapter::clear(const GpibAddress& address, const CallLimits& limits) {
    return runOutcome(
        [=](AdapterLink& link) {
            return runAction(link, {BusAction::Kind::Clear, address});
        },
        limits);
}

Outcome PlusPlusAdapter::trigger(const GpibAddress& address, const CallLimits& limits) {
    return runOutcome([=](AdapterLink& link) { return link.addressed(address, "++trg\n"); },
                      limits);
}

Outcome PlusPlusAdapter::remote(const GpibAddress& address, const CallLimits& limits) {
    // Neither flavour can address a listener without sending it data: the device goes remote
    // at its next message (a Prologix holds REN asserted in controller mode).
    const bool ar488 = is(Flavour::Ar488);
    return runOutcome(
        [=](AdapterLink& link) { return link.addressed(address, ar488 ? "++ren 1\n" : ""); },
        limits);
}

Outcome PlusPlusAdapter::local(const GpibAddress& address, const CallLimits& limits) {
    return runOutcome([=](AdapterLink& link) { return link.addressed(address, "++loc\n"); },
                      limits);
}

Outcome PlusPlusAdapter::lockout(const GpibAddress& address, const CallLimits& limits) {
    return runOutcome([=](AdapterLink& link) { return link.addressed(address, "++llo\n"); },
                      limits);
}

Outcome PlusPlusAdapter::interfaceClear(const CallLimits& limits) {
    return runOutcome([](AdapterLink& link) { return link.command("++ifc\n"); }, limits);
}

Outcome PlusPlusAdapter::remoteEnable(bool on, const CallLimits& limits) {
    if (!is(Flavour::Ar488)) {
        return connected() ? Outcome::NotSupported : Outcome::AdapterGone;
    }
    return runOutcome(
        [on](AdapterLink& link) { return link.command(on ? "++ren 1\n" : "++ren 0\n"); }, limits);
}

Outcome PlusPlusAdapter::universalClear(const CallLimits& limits) {
    static constexpr std::uint8_t kDcl[] = {0x14};
    return sendCommand(kDcl, limits);
}

Outcome PlusPlusAdapter::universalLockout(const CallLimits& limits) {
    static constexpr std::uint8_t kLlo[] = {0x11};
    return sendCommand(kLlo, limits);
}

LineResult PlusPlusAdapter::srqLine(const CallLimits& limits) {
    auto result = std::make_shared<LineResult>();
    const Outcome ran =
        m_worker.run([=](AdapterLink& link, JobState&) { *result = link.queryLine("++srq\n"); },
                     limits.deadline, limits.stop);
    return ran == Outcome::Done ? *result : LineResult{ran, false};
}

LineResult PlusPlusAdapter::renLine(const CallLimits& limits) {
    if (!is(Flavour::Ar488)) {
        return {connected() ? Outcome::NotSupported : Outcome::AdapterGone, false};
    }
    auto result = std::make_shared<LineResult>();
    const Outcome ran =
        m_worker.run([=](AdapterLink& link, JobState&) { *result = link.queryLine("++ren\n"); },
                     limits.deadline, limits.stop);
    return ran == Outcome::Done ? *result : LineResult{ran, false};
}

AddressList PlusPlusAdapter::findListeners(const CallLimits& limits) {
    if (!is(Flavour::Ar488)) {
        return {connected() ? Outcome::NotSupported : Outcome::AdapterGone, {}};
    }
    auto result = std::make_shared<AddressList>();
    const Outcome ran =
        m_worker.run([=](AdapterLink& link, JobState&) { *result = link.findListeners(); },
                     limits.deadline, limits.stop);
    return ran == Outcome::Done ? std::move(*result) : AddressList{ran, {}};
}

AddressList PlusPlusAdapter::answeringSerialPoll(const std::vector<GpibAddress>& candidates,
                                                 const CallLimits& limits) {
    auto result = std::make_shared<AddressList>();
    const Outcome ran = m_worker.run(
        [=](AdapterLink& link, JobState& job) { *result = link.answeringPoll(candidates, job); },
        limits.deadline, limits.stop);
    return ran == Outcome::Done ? std::move(*result) : AddressList{ran, {}};
}

Outcome PlusPlusAdapter::sendCommand(std::span<const std::uint8_t> bytes,
                                     const CallLimits& limits) {
    if (!connected()) {
        return Outcome::AdapterGone;
    }
    const auto plan = planCommandBytes(bytes, m_ownAddress);
    if (!plan) {
        return Outcome::NotSupported;
    }
    for (const BusAction& action : *plan) {
        const bool prologix = is(Flavour::Prologix) && prologixLacks(action.kind);
        const bool ar488 =
            is(Flavour::Ar488) && action.kind == BusAction::Kind::Poll && action.address.secondary;
        if (prologix || ar488) {
            return Outcome::NotSupported; // nothing of the sequence is sent
        }
    }
    return runOutcome(
        [actions = *plan](AdapterLink& link) {
            for (const BusAction& action : actions) {
                if (const Outcome outcome = runAction(link, action); outcome != Outcome::Done) {
                    return outcome;
                }
            }
            return Outcome::Done;
        },
        limits);
}

} // namespace gateway::adapter
