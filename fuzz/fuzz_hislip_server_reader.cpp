// Fuzzes the HiSLIP message reader as a server uses it: every payload collected within its
// limit, a refused message (reserved or vendor type, too large) skipped up to 4 GiB so the
// server can answer Error and read on, anything larger broken framing.
//
// Input: [limits selector] [cut seed] stream...

#include "HislipReaderCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    fuzz::MessageReader::Limits limits;
    limits.streamData = false;
    limits.maxSkip = std::uint64_t{1} << 32;
    fuzz::checkHislipReader(data, size, limits);
    return 0;
}
