#pragma once

#include "library/Library.h"

namespace lan {

/// The instrument library of this program, with every LAN transport it has: VXI-11 for the
/// `lan;vxi-11[...]` form and `TCPIP::...::INSTR` resources, HiSLIP for
/// `TCPIP::...::hislipN::INSTR`, a raw SCPI socket for `TCPIP::HOST::PORT::SOCKET`.
class LanLibrary final : public library::Library {
public:
    LanLibrary();
    explicit LanLibrary(Options options);
};

} // namespace lan
