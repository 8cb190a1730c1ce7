#pragma once
// `--until C` on a raw socket. A socket has no END: the library ends a read at LF, and a
// termination character set on the session would replace LF rather than join it. So the
// command line reads up to LF and cuts the answer at C itself; the rest of the line waits here
// for the next read of the session, as it would wait in a VXI-11 or HiSLIP instrument.

#include "sicl/ReadMessage.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>

namespace cli {

/// What reads on raw socket sessions left of their lines.
class LineRest {
public:
    /// Reads one answer of socket session `id` as sicl::readMessage does (at most `limit`
    /// bytes), starting with what an earlier read left, and ending at `until` too. On a failure
    /// `answer` holds what came before it. `reasons` gets the reason bits the reads reported.
    sicl::MessageEnd read(sicl::Sicl32Module& sicl, sicl::SessionId id, std::size_t limit,
                          std::optional<std::uint8_t> until, std::string& answer,
                          std::string& scratch, std::int32_t& reasons);
    /// Drops what waits for `id`: the bytes, and whether they reached the end of their line.
    std::pair<std::size_t, bool> drop(sicl::SessionId id);
    /// Drops everything (the sessions are gone).
    void clear() noexcept { m_rest.clear(); }

private:
    struct Rest {
        std::string bytes;
        bool whole = false; ///< the end of the line is among them
    };
    std::map<sicl::SessionId, Rest> m_rest;
    std::string m_more;
};

} // namespace cli
