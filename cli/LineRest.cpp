#include "cli/LineRest.h"

#include <algorithm>

namespace cli {

using sicl::MessageEnd;

MessageEnd LineRest::read(sicl::Sicl32Module& sicl, sicl::SessionId id, std::size_t limit,
                          std::optional<std::uint8_t> until, std::string& answer,
                          std::string& scratch, std::int32_t& reasons) {
    MessageEnd end = MessageEnd::Char;
    const auto kept = m_rest.find(id);
    if (kept == m_rest.end()) {
        end = sicl::readMessage(sicl, id, limit, answer, scratch, &reasons);
    } else {
        answer = std::move(kept->second.bytes);
        const bool whole = kept->second.whole;
        m_rest.erase(kept);
        if (!whole && answer.size() < limit) {
            try {
                end = sicl::readMessage(sicl, id, limit - answer.size(), m_more, scratch, &reasons);
            } catch (const sicl::SiclError&) {
                answer += m_more;
                throw;
            }
            answer += m_more;
        } else if (!whole) {
            end = MessageEnd::Limit;
        }
    }
    const bool whole = end != MessageEnd::Limit;
    // The answer ends at the first C within the limit; else the limit cuts what an earlier
    // read left.
    std::size_t cut = std::string::npos;
    if (until && *until != '\n') {
        const std::size_t at = answer.find(static_cast<char>(*until));
        if (at < std::min(answer.size(), limit)) {
            cut = at + 1;
            end = end == MessageEnd::End ? end : MessageEnd::Char;
        }
    }
    if (cut == std::string::npos && answer.size() > limit) {
        cut = limit;
        end = MessageEnd::Limit;
    }
    if (cut < answer.size()) {
        m_rest[id] = Rest{answer.substr(cut), whole};
        answer.resize(cut);
    }
    return end;
}

std::pair<std::size_t, bool> LineRest::drop(sicl::SessionId id) {
    const auto kept = m_rest.find(id);
    if (kept == m_rest.end()) {
        return {0, false};
    }
    const std::pair<std::size_t, bool> dropped{kept->second.bytes.size(), kept->second.whole};
    m_rest.erase(kept);
    return dropped;
}

} // namespace cli
