// Fuzzes the HiSLIP message reader as the client uses it: Data payloads handed out (straight
// into the caller's buffer), refused messages skipped only within the data limit, so any
// larger claim is broken framing at once.
//
// Input: [limits selector] [cut seed] stream...

#include "HislipReaderCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    fuzz::MessageReader::Limits limits;
    limits.streamData = true;
    limits.maxSkip = 0; // raised to the data limit
    fuzz::checkHislipReader(data, size, limits);
    return 0;
}
