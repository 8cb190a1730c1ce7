#include "gateway/instrument/StatusModel.h"

namespace gateway {

namespace {

/// Entries the error queue holds.
constexpr std::size_t kMaxErrors = 10;

} // namespace

void StatusModel::fail(int code, std::string_view text, std::uint8_t eventBits) {
    m_esr |= eventBits;
    if (m_errors.size() >= kMaxErrors) {
        m_errors.back() = std::to_string(scpi::kQueueOverflow) + ",\"Queue overflow\"";
        return;
    }
    m_errors.push_back(std::to_string(code) + ",\"" + std::string(text) + "\"");
}

std::string StatusModel::nextError() {
    if (m_errors.empty()) {
        return "0,\"No error\"";
    }
    std::string error = std::move(m_errors.front());
    m_errors.pop_front();
    return error;
}

std::uint8_t StatusModel::takeEventStatus() {
    const std::uint8_t value = m_esr;
    m_esr = 0;
    return value;
}

void StatusModel::clearStatus() {
    m_esr = 0;
    m_errors.clear();
}

void StatusModel::setServiceEnable(std::uint8_t value) {
    m_sre = value & static_cast<std::uint8_t>(~stb::kRqs);
}

std::uint8_t StatusModel::summaryBits(bool messageAvailable) const {
    std::uint8_t bits = 0;
    if (!m_errors.empty()) {
        bits |= stb::kEav;
    }
    if (messageAvailable) {
        bits |= stb::kMav;
    }
    if (m_esr & m_ese) {
        bits |= stb::kEsb;
    }
    return bits;
}

std::uint8_t StatusModel::masterSummary(bool messageAvailable) const {
    const std::uint8_t bits = summaryBits(messageAvailable);
    return bits | ((bits & m_sre) != 0 ? stb::kRqs : 0);
}

void StatusModel::update(bool messageAvailable) {
    // RQS rises when an enabled summary bit appears; it falls when the condition goes away
    // or a serial poll reads it.
    const bool set = (summaryBits(messageAvailable) & m_sre) != 0;
    if (set && !m_summaryWasSet) {
        m_rqs = true;
        ++m_requests;
    }
    if (!set) {
        m_rqs = false;
    }
    m_summaryWasSet = set;
}

std::uint8_t StatusModel::statusByte(bool messageAvailable) {
    update(messageAvailable);
    return static_cast<std::uint8_t>(summaryBits(messageAvailable) | (m_rqs ? stb::kRqs : 0));
}

std::uint8_t StatusModel::serialPoll(bool messageAvailable) {
    const std::uint8_t value = statusByte(messageAvailable);
    m_rqs = false;
    return value;
}

bool StatusModel::requestingService(bool messageAvailable) {
    update(messageAvailable);
    return m_rqs;
}

} // namespace gateway
