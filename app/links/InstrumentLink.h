#pragma once

#include "app/WindowContext.h"

#include <QString>

#include <cstdint>
#include <optional>

class LinkTimeout;

/// The instrument link: the device session to one instrument on the gateway's bus.
class InstrumentLink {
public:
    /// Shown when a secondary-address form has a length other than 3 or 4 characters.
    static constexpr const char* kLengthRefused = "Length of address is out of range, reenter";
    /// Shown when the address text is not a number at all.
    static constexpr const char* kNotANumber = "Address is not a number, reenter";

    /// How an address text reads: its value, and the primary and secondary address it gives.
    struct AddressForm {
        double value = 0;
        enum class Kind {
            Primary,       ///< 0 to 30: pad = value, sad = 0
            Secondary,     ///< above 100 to 3030, 3 or 4 characters: pad and sad from the digits
            LengthRefused, ///< above 100 to 3030 with any other length
            Other,         ///< any other number: pad and sad keep their values
        } kind = Kind::Other;
        std::int16_t pad = 0;
        std::int16_t sad = 0;
    };
    /// Reads `text` as an instrument address; nothing when it is not a number.
    static std::optional<AddressForm> readAddress(const QString& text);

    InstrumentLink(WindowContext& ctx, LinkTimeout& timeout) : m_ctx(ctx), m_timeout(timeout) {}

    /// Select Inst and Link: closes the device session and opens one at the address of
    /// combInst on the server of combSrvrs.
    void cmdLinki_Click();
    /// The instrument text was typed or picked: the link can be made.
    void combInst_Change();

    /// Connects Select Inst and Link and the instrument box to their handlers.
    void wire();

private:
    WindowContext& m_ctx;
    LinkTimeout& m_timeout;
};
