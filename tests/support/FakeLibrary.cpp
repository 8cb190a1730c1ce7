#include "support/FakeLibrary.h"

#include <algorithm>
#include <cstring>

namespace testsupport {

void FakeLibrary::failNext(const std::string& entry, std::int16_t errorNumber,
                           const std::string& text, std::int16_t result) {
    if (result == -1) {
        result = entry == "vb_iopen" ? 0 : 1;
    }
    m_once[entry].push_back(Failure{result, errorNumber, text});
}

void FakeLibrary::failAlways(const std::string& entry, std::int16_t errorNumber,
                             const std::string& text, std::int16_t result) {
    if (result == -1) {
        result = entry == "vb_iopen" ? 0 : 1;
    }
    m_always[entry] = Failure{result, errorNumber, text};
}

void FakeLibrary::clearFailures() {
    m_once.clear();
    m_always.clear();
}

void FakeLibrary::queueRead(std::string bytes, std::int32_t reason) {
    m_reads.emplace_back(std::move(bytes), reason);
}

std::vector<Call> FakeLibrary::callsTo(const std::string& entry) const {
    std::vector<Call> out;
    std::copy_if(calls.begin(), calls.end(), std::back_inserter(out),
                 [&](const Call& c) { return c.entry == entry; });
    return out;
}

std::vector<std::string> FakeLibrary::entries() const {
    std::vector<std::string> out;
    for (const auto& c : calls) {
        out.push_back(c.entry);
    }
    return out;
}

std::vector<Call> FakeLibrary::operations() const {
    std::vector<Call> out;
    std::copy_if(calls.begin(), calls.end(), std::back_inserter(out), [](const Call& c) {
        return c.entry != "vb_igeterrno" && c.entry != "vb_igeterrstr";
    });
    return out;
}

std::optional<std::int16_t> FakeLibrary::record(Call call) {
    calls.push_back(call);
    if (onCall) {
        onCall(calls.back());
    }
    std::optional<Failure> failure;
    if (auto it = m_once.find(call.entry); it != m_once.end() && !it->second.empty()) {
        failure = it->second.front();
        it->second.pop_front();
    } else if (auto always = m_always.find(call.entry); always != m_always.end()) {
        failure = always->second;
    }
    if (!failure) {
        return std::nullopt;
    }
    m_errno = failure->errorNumber;
    m_texts[failure->errorNumber] = failure->errorText;
    return failure->result;
}

std::int16_t FakeLibrary::vb_iopen(const std::string& address) {
    if (auto failed = record({"vb_iopen", {}, address})) {
        return *failed;
    }
    return nextId++;
}

std::int16_t FakeLibrary::vb_iclose(sicl::SessionId id) {
    return record({"vb_iclose", {id}, {}}).value_or(0);
}

std::int16_t FakeLibrary::vb_iwrite(std::int32_t one, sicl::SessionId id, std::string_view buf,
                                    std::int32_t datalen, std::int16_t endi, std::int32_t& actual) {
    const auto n = std::clamp<std::int64_t>(datalen, 0, static_cast<std::int64_t>(buf.size()));
    if (auto failed =
            record({"vb_iwrite", {one, id, datalen, endi}, std::string(buf.substr(0, n))})) {
        actual = 0;
        return *failed;
    }
    actual = datalen;
    return 0;
}

std::int16_t FakeLibrary::vb_iread(std::int32_t one, sicl::SessionId id, std::string& buf,
                                   std::int32_t bufsize, std::int32_t& reason,
                                   std::int32_t& actual) {
    if (auto failed = record({"vb_iread", {one, id, bufsize, reason, actual}, buf})) {
        return *failed;
    }
    std::string bytes;
    std::int32_t why = 4;
    if (!m_reads.empty()) {
        bytes = std::move(m_reads.front().first);
        why = m_reads.front().second;
        m_reads.pop_front();
    }
    const std::size_t limit =
        std::min<std::size_t>(static_cast<std::size_t>(std::max(bufsize, 0)), buf.size());
    const std::size_t n = std::min(limit, bytes.size());
    std::copy_n(bytes.begin(), n, buf.begin());
    actual = static_cast<std::int32_t>(n);
    reason = n < bytes.size() ? 1 : why;
    return 0;
}

std::int16_t FakeLibrary::vb_itermchr(sicl::SessionId id, std::int16_t tchr) {
    return record({"vb_itermchr", {id, tchr}, {}}).value_or(0);
}

std::int16_t FakeLibrary::vb_iclear(sicl::SessionId id) {
    return record({"vb_iclear", {id}, {}}).value_or(0);
}

std::int16_t FakeLibrary::vb_ireadstb(sicl::SessionId id, std::int16_t& stb) {
    if (auto failed = record({"vb_ireadstb", {id}, {}})) {
        return *failed;
    }
    stb = statusByte;
    return 0;
}

std::int16_t FakeLibrary::vb_itrigger(sicl::SessionId id) {
    return record({"vb_itrigger", {id}, {}}).value_or(0);
}

std::int16_t FakeLibrary::vb_iremote(sicl::SessionId id) {
    return record({"vb_iremote", {id}, {}}).value_or(0);
}

std::int16_t FakeLibrary::vb_ilocal(sicl::SessionId id) {
    return record({"vb_ilocal", {id}, {}}).value_or(0);
}

std::int16_t FakeLibrary::vb_ilock(sicl::SessionId id) {
    return record({"vb_ilock", {id}, {}}).value_or(0);
}

std::int16_t FakeLibrary::vb_ilockshared(sicl::SessionId id, const std::string& key) {
    return record({"vb_ilockshared", {id}, key}).value_or(0);
}

std::int16_t FakeLibrary::vb_iwaitsrq(sicl::SessionId id, std::int32_t waitMs) {
    return record({"vb_iwaitsrq", {id, waitMs}, {}}).value_or(0);
}

std::int16_t FakeLibrary::vb_iunlock(sicl::SessionId id) {
    return record({"vb_iunlock", {id}, {}}).value_or(0);
}

std::int16_t FakeLibrary::vb_itimeout(sicl::SessionId id, std::int32_t tval) {
    return record({"vb_itimeout", {id, tval}, {}}).value_or(0);
}

std::int16_t FakeLibrary::vb_igpibbusstatus(sicl::SessionId id, std::int16_t request,
                                            std::int16_t& result) {
    if (auto failed = record({"vb_igpibbusstatus", {id, request}, {}})) {
        return *failed;
    }
    if (busStatus) {
        result = busStatus(id, request);
    } else {
        result = request == 8 ? ownAddress : 0;
    }
    return 0;
}

std::int16_t FakeLibrary::vb_igpibrenctl(sicl::SessionId id, std::int16_t value) {
    return record({"vb_igpibrenctl", {id, value}, {}}).value_or(0);
}

std::int16_t FakeLibrary::vb_igpibatnctl(sicl::SessionId id, std::int16_t value) {
    return record({"vb_igpibatnctl", {id, value}, {}}).value_or(0);
}

std::int16_t FakeLibrary::vb_igpibsendcmd(sicl::SessionId id, const std::string& cmdstr,
                                          std::int32_t length) {
    const auto n = std::clamp<std::int64_t>(length, 0, static_cast<std::int64_t>(cmdstr.size()));
    return record({"vb_igpibsendcmd", {id, length}, cmdstr.substr(0, static_cast<std::size_t>(n))})
        .value_or(0);
}

std::int16_t FakeLibrary::vb_igeterrno() {
    calls.push_back({"vb_igeterrno", {}, {}});
    return m_errno;
}

std::int16_t FakeLibrary::vb_igeterrstr(std::int16_t errnum, char* buf) {
    calls.push_back({"vb_igeterrstr", {errnum}, {}});
    const auto it = m_texts.find(errnum);
    const std::string text = it == m_texts.end() ? std::string() : it->second;
    const std::size_t n = std::min(text.size(), sicl::kErrorTextBufferSize - 1);
    std::memcpy(buf, text.data(), n);
    buf[n] = '\0';
    return 0;
}

} // namespace testsupport
