#pragma once

#include "sicl/InstrumentLibrary.h"

namespace sicl {

/// A library whose every entry fails with "instrument library not available"; the program
/// falls back to it when no transport can be set up, so the window still opens and explains.
class UnavailableLibrary final : public InstrumentLibrary {
public:
    static constexpr std::int16_t kErrorNumber = 1000;
    static constexpr const char* kErrorText = "instrument library not available";

    std::int16_t vb_iopen(const std::string&) override { return 0; }
    std::int16_t vb_iclose(SessionId) override { return 1; }
    std::int16_t vb_iwrite(std::int32_t, SessionId, std::string_view, std::int32_t, std::int16_t,
                           std::int32_t& actual) override;
    std::int16_t vb_iread(std::int32_t, SessionId, std::string&, std::int32_t, std::int32_t& reason,
                          std::int32_t& actual) override;
    std::int16_t vb_itermchr(SessionId, std::int16_t) override { return 1; }
    std::int16_t vb_iclear(SessionId) override { return 1; }
    std::int16_t vb_ireadstb(SessionId, std::int16_t&) override { return 1; }
    std::int16_t vb_itrigger(SessionId) override { return 1; }
    std::int16_t vb_ilock(SessionId) override { return 1; }
    std::int16_t vb_iunlock(SessionId) override { return 1; }
    std::int16_t vb_itimeout(SessionId, std::int32_t) override { return 1; }
    std::int16_t vb_igpibbusstatus(SessionId, std::int16_t, std::int16_t&) override { return 1; }
    std::int16_t vb_igpibrenctl(SessionId, std::int16_t) override { return 1; }
    std::int16_t vb_igpibatnctl(SessionId, std::int16_t) override { return 1; }
    std::int16_t vb_igpibsendcmd(SessionId, const std::string&, std::int32_t) override { return 1; }
    std::int16_t vb_igeterrno() override { return kErrorNumber; }
    std::int16_t vb_igeterrstr(std::int16_t errnum, char* buf) override;
};

} // namespace sicl
