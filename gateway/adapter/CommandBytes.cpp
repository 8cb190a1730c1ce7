#include "gateway/adapter/CommandBytes.h"

namespace gateway::adapter {

namespace {

constexpr std::uint8_t kGtl = 0x01;
constexpr std::uint8_t kSdc = 0x04;
constexpr std::uint8_t kGet = 0x08;
constexpr std::uint8_t kLlo = 0x11;
constexpr std::uint8_t kDcl = 0x14;
constexpr std::uint8_t kSpe = 0x18;
constexpr std::uint8_t kSpd = 0x19;
constexpr std::uint8_t kListen = 0x20;
constexpr std::uint8_t kUnl = 0x3F;
constexpr std::uint8_t kTalk = 0x40;
constexpr std::uint8_t kUnt = 0x5F;
constexpr std::uint8_t kSecondary = 0x60;
constexpr std::uint8_t kLastSecondary = 0x7E;

using Kind = BusAction::Kind;

/// Reads the sequence byte by byte, keeping who is addressed.
class Planner {
public:
    explicit Planner(std::optional<std::uint8_t> controller) : m_controller(controller) {}
    bool take(std::span<const std::uint8_t> bytes, std::size_t& i);
    bool finish();
    std::vector<BusAction> actions;

private:
    bool addressed(Kind kind);

    std::optional<std::uint8_t> m_controller;
    std::vector<GpibAddress> m_listeners; // addressed to listen
    std::vector<GpibAddress> m_fresh;     // of those, the ones no command used yet
    GpibAddress m_talker;
    bool m_hasTalker = false;
    bool m_unlistened = false;
    bool m_untalked = false;
    bool m_polling = false;
    bool m_talkerUsed = false;
};

bool Planner::addressed(Kind kind) {
    if (m_listeners.empty()) {
        return false;
    }
    for (const GpibAddress& listener : m_listeners) {
        actions.push_back({kind, listener});
    }
    m_fresh.clear();
    return true;
}

bool Planner::take(std::span<const std::uint8_t> bytes, std::size_t& i) {
    const std::uint8_t b = bytes[i];
    const bool secondaryNext =
        i + 1 < bytes.size() && bytes[i + 1] >= kSecondary && bytes[i + 1] <= kLastSecondary;
    const auto address = [&](std::uint8_t base) {
        GpibAddress a{static_cast<std::uint8_t>(b - base), std::nullopt};
        if (secondaryNext) {
            a.secondary = static_cast<std::uint8_t>(bytes[++i] - kSecondary);
        }
        return a;
    };
    if (b == kUnl) {
        m_listeners.clear();
        m_fresh.clear();
        m_unlistened = true;
    } else if (b == kUnt) {
        m_hasTalker = false;
        m_untalked = true;
    } else if (b >= kListen && b < kUnl) {
        m_listeners.push_back(address(kListen));
        m_fresh.push_back(m_listeners.back());
        m_unlistened = false;
    } else if (b >= kTalk && b < kUnt && m_controller == b - kTalk && !secondaryNext) {
        m_hasTalker = false; // the controller talks: no device is the talker
        m_untalked = false;
    } else if (b >= kTalk && b < kUnt) {
        m_talker = address(kTalk);
        m_hasTalker = true;
        m_untalked = false;
        m_talkerUsed = m_polling;
        if (m_polling) {
            actions.push_back({Kind::Poll, m_talker});
        }
    } else if (b == kSdc || b == kGet || b == kGtl) {
        return addressed(b == kSdc ? Kind::Clear : b == kGet ? Kind::Trigger : Kind::Local);
    } else if (b == kLlo || b == kDcl) {
        actions.push_back({b == kLlo ? Kind::Lockout : Kind::UniversalClear, {}});
    } else if (b == kSpe || b == kSpd) {
        m_polling = b == kSpe;
    } else {
        return false;
    }
    return true;
}

bool Planner::finish() {
    // Addresses no command used: one device left addressed is the adapter's current address.
    if (m_fresh.size() > 1) {
        return false;
    }
    const bool talkerLeft = m_hasTalker && !m_talkerUsed;
    if (!m_fresh.empty() && talkerLeft && !(m_fresh.front() == m_talker)) {
        return false;
    }
    if (!m_fresh.empty() || talkerLeft) {
        actions.push_back({Kind::Target, m_fresh.empty() ? m_talker : m_fresh.front()});
    }
    if (m_unlistened) {
        actions.push_back({Kind::Unlisten, {}});
    }
    if (m_untalked) {
        actions.push_back({Kind::Untalk, {}});
    }
    return !m_polling;
}

} // namespace

std::optional<std::vector<BusAction>> planCommandBytes(std::span<const std::uint8_t> bytes,
                                                       std::optional<std::uint8_t> controller) {
    Planner planner(controller);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (!planner.take(bytes, i)) {
            return std::nullopt;
        }
    }
    if (bytes.empty() || !planner.finish()) {
        return std::nullopt;
    }
    return std::move(planner.actions);
}

} // namespace gateway::adapter
