// siclquill-microbench: the costs under one call that no network hides: encoding a call,
// decoding a reply, reassembling records, and what the wrappers add to a library call.
#include "library/Library.h"
#include "sicl/ForwardingLibrary.h"
#include "sicl/Sicl32Module.h"
#include "trace/TracingLibrary.h"
#include "vxi11/codec/IoMessages.h"
#include "vxi11/codec/RecordMarking.h"
#include "vxi11/codec/Rpc.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <sstream>
#include <string>

// Every allocation of the program is counted, so a benchmark can show how many one call makes.
// GCC takes the malloc/free pair inside the replaced operators for a mismatch; it is not one.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
namespace {
std::atomic<std::uint64_t> g_allocations{0};
} // namespace

void* operator new(std::size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

using namespace vxi11;

/// The bytes of a device_write call for "*IDN?" LF, as the client puts them on the wire.
void BM_EncodeWriteCall(benchmark::State& state) {
    const std::string text = "*IDN?\n";
    std::uint32_t xid = 1;
    for (auto _ : state) {
        DeviceWriteParms parms;
        parms.lid = 7;
        parms.ioTimeout = 3000;
        parms.lockTimeout = 3000;
        parms.flags = flags::kWaitLock | flags::kEnd;
        parms.data.assign(text.begin(), text.end());
        xdr::Encoder e;
        parms.encode(e);
        xdr::Bytes framed = rpc::frameRecord(rpc::encodeCall(
            xid++, DeviceWrite::prog, DeviceWrite::vers, DeviceWrite::proc, e.bytes()));
        benchmark::DoNotOptimize(framed.data());
    }
}
BENCHMARK(BM_EncodeWriteCall);

xdr::Bytes readReplyRecord(std::size_t answerBytes) {
    DeviceReadResp resp;
    resp.reason = reason::kEnd;
    resp.data.assign(answerBytes, 'x');
    return encodeReplyFor<DeviceRead>(42, resp);
}

/// A device_read reply record decoded as the client does: RPC header, then the results.
void BM_DecodeReadReply(benchmark::State& state) {
    const xdr::Bytes record = readReplyRecord(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        const auto reply = rpc::decodeReply(record);
        if (!reply || !reply->success()) {
            state.SkipWithError("reply did not decode");
            break;
        }
        auto result = decodeResultFor<DeviceRead>(reply->results, true);
        benchmark::DoNotOptimize(result);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(record.size()));
}
BENCHMARK(BM_DecodeReadReply)->Arg(48)->Arg(4096)->Arg(1 << 20);

/// Record reassembly: a stream of framed records of range(0) bytes fed in receive-sized
/// pieces (range(1)), each completed record taken.
void BM_RecordReader(benchmark::State& state) {
    const auto recordBytes = static_cast<std::size_t>(state.range(0));
    const auto piece = static_cast<std::size_t>(state.range(1));
    const xdr::Bytes body(recordBytes, 0x5A);
    const xdr::Bytes framed = rpc::frameRecord(body);
    rpc::RecordReader reader(recordBytes + 16);
    std::size_t records = 0;
    for (auto _ : state) {
        xdr::ByteView rest(framed);
        while (!rest.empty()) {
            const auto n = std::min(piece, rest.size());
            xdr::ByteView chunk = rest.first(n);
            while (!chunk.empty()) {
                const auto fed = reader.feed(chunk);
                chunk = chunk.subspan(fed.consumed);
                if (fed.status == rpc::RecordReader::Status::Complete) {
                    benchmark::DoNotOptimize(reader.takeRecord());
                    ++records;
                } else if (fed.status == rpc::RecordReader::Status::Malformed) {
                    state.SkipWithError("malformed");
                    return;
                }
            }
            rest = rest.subspan(n);
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(framed.size()));
    benchmark::DoNotOptimize(records);
}
BENCHMARK(BM_RecordReader)->Args({64, 65536})->Args({4096, 65536})->Args({1 << 20, 65536});

/// A library whose I/O and bus calls do nothing and always succeed: what is left is the
/// wrappers' own cost. Whatever else it is asked goes to a library without transports.
class NullLibrary final : public sicl::ForwardingLibrary {
public:
    NullLibrary() : ForwardingLibrary(m_empty) {}

    std::int16_t vb_iwrite(std::int32_t, sicl::SessionId, std::string_view, std::int32_t n,
                           std::int16_t, std::int32_t& actual) override {
        actual = n;
        return 0;
    }
    std::int16_t vb_iread(std::int32_t, sicl::SessionId, std::string& buf, std::int32_t size,
                          std::int32_t& reason, std::int32_t& actual) override {
        static constexpr char kAnswer[] = "BENCH,MODEL,0,1.0\n";
        const auto n = std::min<std::size_t>(sizeof kAnswer - 1, static_cast<std::size_t>(size));
        std::memcpy(buf.data(), kAnswer, std::min(n, buf.size()));
        reason = 4;
        actual = static_cast<std::int32_t>(n);
        return 0;
    }
    std::int16_t vb_igpibbusstatus(sicl::SessionId, std::int16_t, std::int16_t& out) override {
        out = 0;
        return 0;
    }
    std::int16_t vb_igpibatnctl(sicl::SessionId, std::int16_t) override { return 0; }
    std::int16_t vb_igpibsendcmd(sicl::SessionId, const std::string&, std::int32_t) override {
        return 0;
    }

private:
    library::Library m_empty{{}, {}};
};

/// One query through the wrappers on the path without failure: iwrite then iread.
void BM_WrapperQueryOverhead(benchmark::State& state) {
    NullLibrary lib;
    sicl::Sicl32Module wrappers(lib);
    std::string buf(4096, ' ');
    for (auto _ : state) {
        std::int32_t actual = 0;
        std::int32_t reason = 0;
        wrappers.iwrite(1, "*IDN?\n", 6, 1, actual);
        wrappers.iread(1, buf, 4096, reason, actual);
        benchmark::DoNotOptimize(actual);
    }
}
BENCHMARK(BM_WrapperQueryOverhead);

/// One discovery probe through the wrappers: the four calls made for each address.
void BM_WrapperProbeOverhead(benchmark::State& state) {
    NullLibrary lib;
    sicl::Sicl32Module wrappers(lib);
    const std::string probe{'\x3F', '\x40', '\x27'};
    for (auto _ : state) {
        std::int16_t ndac = 0;
        wrappers.igpibsendcmd(2, probe, 3);
        wrappers.igpibatnctl(2, 0);
        wrappers.igpibbusstatus(2, 3, ndac);
        wrappers.igpibsendcmd(2, "?", 1);
        benchmark::DoNotOptimize(ndac);
    }
}
BENCHMARK(BM_WrapperProbeOverhead);

/// One query through the wrappers and `library`, labelled with the allocations per query.
void queryThrough(benchmark::State& state, sicl::InstrumentLibrary& library) {
    sicl::Sicl32Module wrappers(library);
    std::string buf(4096, ' ');
    const std::string command = "*IDN?\n";
    const std::uint64_t before = g_allocations.load();
    for (auto _ : state) {
        std::int32_t actual = 0;
        std::int32_t reason = 0;
        wrappers.iwrite(1, command, 6, 1, actual);
        wrappers.iread(1, buf, 4096, reason, actual);
        benchmark::DoNotOptimize(actual);
    }
    // A label rather than a counter: the CSV report wants the same counters in every row.
    const auto perQuery = (g_allocations.load() - before) / state.iterations();
    state.SetLabel("allocs_per_query=" + std::to_string(perQuery));
}

/// The same query with the trace decorator in place but off (its file failed): what an
/// untraced call pays for the decorator.
void BM_TraceOffQuery(benchmark::State& state) {
    NullLibrary lib;
    std::ostringstream errors;
    trace::TracingLibrary traced(lib, "/nonexistent/siclquill-trace", errors);
    queryThrough(state, traced);
}
BENCHMARK(BM_TraceOffQuery);

/// The bare library under the same query, for comparison with the two above.
void BM_BareQuery(benchmark::State& state) {
    NullLibrary lib;
    queryThrough(state, lib);
}
BENCHMARK(BM_BareQuery);

/// The query traced into /dev/null: two JSON records made (nlohmann-json) and written.
void BM_TraceOnQuery(benchmark::State& state) {
    NullLibrary lib;
    std::ostringstream errors;
    trace::TracingLibrary traced(lib, "/dev/null", errors);
    queryThrough(state, traced);
}
BENCHMARK(BM_TraceOnQuery);

} // namespace

BENCHMARK_MAIN();
