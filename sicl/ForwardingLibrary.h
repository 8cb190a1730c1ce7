#pragma once

#include "sicl/InstrumentLibrary.h"

namespace sicl {

/// An instrument library that hands every entry to another one unchanged.
///
/// Decorators (the I/O trace, a counter, a recorder in a test) derive from it and override
/// only the entries they add something to; a new entry is written here once and every
/// decorator forwards it without a change of its own.
class ForwardingLibrary : public InstrumentLibrary {
public:
    explicit ForwardingLibrary(InstrumentLibrary& inner) : m_inner(inner) {}

    std::int16_t vb_iopen(const std::string& address) override { return m_inner.vb_iopen(address); }
    std::int16_t vb_iclose(SessionId id) override { return m_inner.vb_iclose(id); }
    std::int16_t vb_iwrite(std::int32_t one, SessionId id, std::string_view buf,
                           std::int32_t datalen, std::int16_t endi, std::int32_t& actual) override {
        return m_inner.vb_iwrite(one, id, buf, datalen, endi, actual);
    }
    std::int16_t vb_iread(std::int32_t one, SessionId id, std::string& buf, std::int32_t bufsize,
                          std::int32_t& reason, std::int32_t& actual) override {
        return m_inner.vb_iread(one, id, buf, bufsize, reason, actual);
    }
    std::int16_t vb_itermchr(SessionId id, std::int16_t tchr) override {
        return m_inner.vb_itermchr(id, tchr);
    }
    std::int16_t vb_iclear(SessionId id) override { return m_inner.vb_iclear(id); }
    std::int16_t vb_ireadstb(SessionId id, std::int16_t& stb) override {
        return m_inner.vb_ireadstb(id, stb);
    }
    std::int16_t vb_itrigger(SessionId id) override { return m_inner.vb_itrigger(id); }
    std::int16_t vb_iremote(SessionId id) override { return m_inner.vb_iremote(id); }
    std::int16_t vb_ilocal(SessionId id) override { return m_inner.vb_ilocal(id); }
    std::int16_t vb_ilock(SessionId id) override { return m_inner.vb_ilock(id); }
    std::int16_t vb_ilockshared(SessionId id, const std::string& key) override {
        return m_inner.vb_ilockshared(id, key);
    }
    std::int16_t vb_iunlock(SessionId id) override { return m_inner.vb_iunlock(id); }
    std::int16_t vb_itimeout(SessionId id, std::int32_t tval) override {
        return m_inner.vb_itimeout(id, tval);
    }
    std::int16_t vb_igpibbusstatus(SessionId id, std::int16_t request,
                                   std::int16_t& result) override {
        return m_inner.vb_igpibbusstatus(id, request, result);
    }
    std::int16_t vb_igpibrenctl(SessionId id, std::int16_t value) override {
        return m_inner.vb_igpibrenctl(id, value);
    }
    std::int16_t vb_igpibatnctl(SessionId id, std::int16_t value) override {
        return m_inner.vb_igpibatnctl(id, value);
    }
    std::int16_t vb_igpibsendcmd(SessionId id, const std::string& cmdstr,
                                 std::int32_t length) override {
        return m_inner.vb_igpibsendcmd(id, cmdstr, length);
    }
    std::int16_t vb_iwaitsrq(SessionId id, std::int32_t waitMs) override {
        return m_inner.vb_iwaitsrq(id, waitMs);
    }
    std::int16_t vb_igeterrno() override { return m_inner.vb_igeterrno(); }
    std::int16_t vb_igeterrstr(std::int16_t errnum, char* buf) override {
        return m_inner.vb_igeterrstr(errnum, buf);
    }

protected:
    /// The library every entry goes to.
    InstrumentLibrary& inner() const noexcept { return m_inner; }

private:
    InstrumentLibrary& m_inner;
};

} // namespace sicl
