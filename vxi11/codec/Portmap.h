#pragma once
// Portmapper version 2 messages (program 100000).

#include "vxi11/codec/Procedure.h"

#include <cstdint>
#include <vector>

namespace vxi11::pmap {

constexpr std::uint32_t kProgram = 100000;
constexpr std::uint32_t kVersion = 2;
constexpr std::uint32_t kProtoTcp = 6;
constexpr std::uint32_t kProtoUdp = 17;
constexpr std::uint16_t kDefaultPort = 111;

/// Procedure numbers of portmapper version 2.
namespace proc {
constexpr std::uint32_t kNull = 0;
constexpr std::uint32_t kSet = 1;
constexpr std::uint32_t kUnset = 2;
constexpr std::uint32_t kGetPort = 3;
constexpr std::uint32_t kDump = 4;
constexpr std::uint32_t kCallit = 5;
} // namespace proc

/// mapping: (prog, vers, prot) -> port.
struct Mapping {
    std::uint32_t prog = 0;
    std::uint32_t vers = 0;
    std::uint32_t prot = 0;
    std::uint32_t port = 0;

    void encode(xdr::Encoder& e) const {
        e.putUint(prog);
        e.putUint(vers);
        e.putUint(prot);
        e.putUint(port);
    }
    static bool decode(xdr::Decoder& d, Mapping& v) {
        return d.getUint(v.prog) && d.getUint(v.vers) && d.getUint(v.prot) && d.getUint(v.port);
    }
    bool operator==(const Mapping&) const = default;
};

/// bool result of SET and UNSET.
struct BoolResult {
    bool value = false;
    void encode(xdr::Encoder& e) const { e.putBool(value); }
    static bool decode(xdr::Decoder& d, BoolResult& v) { return d.getBool(v.value); }
};

/// unsigned int result of GETPORT (0: not registered).
struct PortResult {
    std::uint32_t port = 0;
    void encode(xdr::Encoder& e) const { e.putUint(port); }
    static bool decode(xdr::Decoder& d, PortResult& v) { return d.getUint(v.port); }
};

/// pmaplist result of DUMP: each entry preceded by TRUE, the list ended by FALSE.
struct MappingList {
    /// Most entries a decoder accepts, so a hostile list cannot grow without bound.
    static constexpr std::size_t kMaxEntries = 4096;
    std::vector<Mapping> entries;

    void encode(xdr::Encoder& e) const {
        for (const Mapping& m : entries) {
            e.putBool(true);
            m.encode(e);
        }
        e.putBool(false);
    }
    static bool decode(xdr::Decoder& d, MappingList& v) {
        v.entries.clear();
        bool more = false;
        while (d.getBool(more) && more) {
            Mapping m;
            if (!Mapping::decode(d, m) || v.entries.size() >= kMaxEntries) {
                d.fail();
                return false;
            }
            v.entries.push_back(m);
        }
        return d.ok();
    }
};

using Null = NullProc<kProgram, kVersion>;
using Set = Procedure<kProgram, kVersion, proc::kSet, Mapping, BoolResult>;
using Unset = Procedure<kProgram, kVersion, proc::kUnset, Mapping, BoolResult>;
using GetPort = Procedure<kProgram, kVersion, proc::kGetPort, Mapping, PortResult>;
using Dump = Procedure<kProgram, kVersion, proc::kDump, Void, MappingList>;

} // namespace vxi11::pmap
