// The fake adapter's command set, its talkers and what tests ask of it.

#include "FakeAdapter.h"

#include <sstream>

namespace gateway::adapter::testing {

namespace {

using Key = std::pair<int, int>;

constexpr const char* kProlog = "Prologix GPIB-USB Controller version 6.107";
constexpr const char* kAr488 = "AR488 GPIB controller, ver. 0.53.04, 13/04/2025";

Key keyOf(const GpibAddress& a) {
    return {a.primary, a.secondary ? *a.secondary : -1};
}

std::vector<std::string> wordsOf(std::string text) {
    for (char& c : text) {
        c = c == ',' ? ' ' : c;
    }
    std::vector<std::string> words;
    std::istringstream in(text);
    for (std::string word; in >> word;) {
        words.push_back(word);
    }
    return words;
}

/// A number as an adapter reads it; nothing for anything else (an AR488 then says nothing).
std::optional<int> number(const std::string& word) {
    if (word.empty() || word.size() > 5 ||
        word.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    return std::stoi(word);
}

/// An address from `++addr`/`++spoll` words: a secondary as its byte value (or below 31 on an
/// AR488, which adds 96).
std::optional<GpibAddress> addressOf(const std::vector<std::string>& words, std::size_t from) {
    const auto p = words.size() > from ? number(words[from]) : std::nullopt;
    if (!p || *p > 30) {
        return std::nullopt;
    }
    GpibAddress a{static_cast<std::uint8_t>(*p), std::nullopt};
    if (words.size() > from + 1) {
        const auto s = number(words[from + 1]);
        if (!s || (*s > 30 && (*s < 96 || *s > 126))) {
            return std::nullopt;
        }
        a.secondary = static_cast<std::uint8_t>(*s >= 96 ? *s - 96 : *s);
    }
    return a;
}

} // namespace

void FakeAdapter::command(const std::string& text) {
    {
        std::lock_guard lock(m_mutex);
        m_commands.push_back("++" + text);
        m_changed.notify_all();
    }
    const auto words = wordsOf(text);
    const std::string name = words.empty() ? "" : words[0];
    const bool ar488 = m_flavour == Flavour::Ar488;
    const auto setting = [&](auto& field, int max) {
        if (words.size() == 1) {
            emit(std::to_string(field) + "\r\n");
        } else if (const auto n = number(words[1]); n && *n <= max) {
            field = static_cast<std::remove_reference_t<decltype(field)>>(*n);
        }
    };
    if (name == "addr") {
        if (const auto a = addressOf(words, 1); a && !(ar488 && a->primary == 0)) {
            m_address = *a;
        }
    } else if (name == "eoi") {
        setting(m_eoi, 1);
    } else if (name == "eos") {
        setting(m_eos, 3);
    } else if (name == "eot_enable") {
        setting(m_eotEnable, 1);
    } else if (name == "eot_char") {
        setting(m_eotChar, 255);
    } else if (name == "read_tmo_ms") {
        setting(m_readTimeoutMs, ar488 ? 32000 : 3000);
    } else if (name == "mode") {
        emit(words.size() == 1 ? "1\r\n" : "");
    } else if (name == "srq") {
        emit("0\r\n");
    } else if (name == "ver") {
        const bool real = words.size() > 1 && words[1] == "real";
        if (!real || ar488) { // a Prologix does not know `++ver real`: it says nothing
            emit(std::string(ar488 ? kAr488 : kProlog) + "\r\n");
        }
    } else if (name == "read") {
        read();
    } else if (name == "spoll") {
        poll(text);
    } else if (ar488 && name == "fndl") {
        std::lock_guard lock(m_mutex);
        emit(words.size() == 1 ? "Missing parameter\r\n" : m_listenerLine + "\r\n");
    } else if (ar488 && name == "ren") {
        emit(words.size() == 1 ? "1\r\n" : "");
    } else if (name == "auto" || name == "clr" || name == "trg" || name == "loc" || name == "llo" ||
               name == "ifc" ||
               (ar488 ? name == "eor" || name == "unl" || name == "unt" || name == "dcl"
                      : name == "savecfg")) {
        // acted on the bus: the command list is what tests look at
    } else if (ar488) {
        emit("Unrecognized command\r\n");
    }
}

void FakeAdapter::read() {
    {
        std::lock_guard lock(m_mutex);
        ++m_reads;
        m_changed.notify_all();
    }
    const Millis perByte(m_readTimeoutMs);
    for (;;) {
        Chunk chunk;
        {
            std::lock_guard lock(m_mutex);
            auto& queue = m_talkers[keyOf(m_address)];
            if (queue.empty()) {
                break; // nothing (more) to say: silence until the time-out
            }
            if (queue.front().delay > perByte) {
                queue.front().delay -= perByte; // slower than the per-byte time-out
                break;
            }
            chunk = std::move(queue.front());
            queue.pop_front();
        }
        std::this_thread::sleep_for(chunk.delay);
        emit({reinterpret_cast<const char*>(chunk.bytes.data()), chunk.bytes.size()});
        if (chunk.eoi) {
            if (m_eotEnable) {
                emit(std::string(1, static_cast<char>(m_eotChar)));
            }
            return;
        }
    }
    std::this_thread::sleep_for(perByte); // a time-out adds nothing to the stream
}

void FakeAdapter::poll(const std::string& text) {
    const auto words = wordsOf(text);
    auto address = words.size() == 1 ? std::optional(m_address) : addressOf(words, 1);
    if (address && m_flavour == Flavour::Ar488 && words.size() > 2) {
        address.reset(); // an AR488 polls primaries only: the rest are more primaries
    }
    std::optional<int> status;
    {
        std::lock_guard lock(m_mutex);
        if (const auto it = address ? m_statuses.find(keyOf(*address)) : m_statuses.end();
            it != m_statuses.end()) {
            status = it->second;
        }
    }
    if (status) {
        emit(std::to_string(*status) + "\r\n");
    } else {
        std::this_thread::sleep_for(Millis(m_readTimeoutMs)); // nobody answers: no output
    }
}

void FakeAdapter::talk(const GpibAddress& address, std::vector<Chunk> chunks) {
    std::lock_guard lock(m_mutex);
    auto& queue = m_talkers[keyOf(address)];
    queue.insert(queue.end(), chunks.begin(), chunks.end());
}

void FakeAdapter::answerPolls(const GpibAddress& address, std::uint8_t status) {
    std::lock_guard lock(m_mutex);
    m_statuses[keyOf(address)] = status;
}

void FakeAdapter::listeners(std::string line) {
    std::lock_guard lock(m_mutex);
    m_listenerLine = std::move(line);
}

std::vector<std::string> FakeAdapter::commands() const {
    std::lock_guard lock(m_mutex);
    return m_commands;
}

std::vector<BusWrite> FakeAdapter::writes() const {
    std::lock_guard lock(m_mutex);
    return m_writes;
}

int FakeAdapter::readsBegun() const {
    std::lock_guard lock(m_mutex);
    return m_reads;
}

bool FakeAdapter::waitUntil(const std::function<bool()>& done, Millis timeout) const {
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= until) {
            return false;
        }
        std::unique_lock lock(m_mutex);
        m_changed.wait_for(lock, Millis(20));
    }
    return true;
}

void FakeAdapter::deafFor(Millis span) {
    std::lock_guard lock(m_mutex);
    m_deafUntil = std::chrono::steady_clock::now() + span;
}

std::chrono::steady_clock::time_point FakeAdapter::deafUntil() const {
    std::lock_guard lock(m_mutex);
    return m_deafUntil;
}

void FakeAdapter::unplug() {
    std::lock_guard lock(m_mutex);
    m_unplug = true;
}

void FakeAdapter::plugIn() {
    std::lock_guard lock(m_mutex);
    m_plugIn = true;
}

} // namespace gateway::adapter::testing
