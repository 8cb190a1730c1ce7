#include "bench/Query.h"

#include "bench/Common.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;

std::size_t padded(std::size_t n) {
    return (n + 3) / 4 * 4;
}

/// Bytes of "*IDN?" LF, the query every transport sends.
constexpr std::size_t kQueryBytes = 6;
/// A HiSLIP message header: prologue, type, control code, message parameter, payload length.
constexpr std::size_t kHislipHeader = 16;

} // namespace

std::vector<Exchange> idnExchange(library::Resource::Kind kind, std::size_t answerBytes) {
    switch (kind) {
    case library::Resource::Kind::Hislip:
        return {{kHislipHeader + kQueryBytes, kHislipHeader + answerBytes}};
    case library::Resource::Kind::Socket:
        return {{kQueryBytes, answerBytes}};
    case library::Resource::Kind::Vxi11:
        break;
    }
    // Record mark, RPC call header (40) or reply header (24), then the procedure's arguments:
    // device_write's link, time-outs, flags and data; device_read's link, count, time-outs,
    // flags and termination character; their results.
    return {{4 + 40 + 20 + padded(kQueryBytes), 4 + 24 + 8},
            {4 + 40 + 24, 4 + 24 + 12 + padded(answerBytes)}};
}

Turns measureQueries(sicl::Sicl32Module& wrappers, const std::string& address, int count,
                     library::Resource::Kind kind) {
    const int perBlock = std::max(1, count / kBlocks);
    const auto dev = wrappers.iopen(address);
    Turns turns;
    std::string buf(4096, ' ');
    for (int block = 0; block < kBlocks; ++block) {
        std::vector<double> blockSamples;
        std::size_t answerBytes = 0;
        for (int i = 0; i < perBlock; ++i) {
            std::int32_t actual = 0;
            std::int32_t reason = 0;
            const auto start = Clock::now();
            wrappers.iwrite(dev, "*IDN?\n", kQueryBytes, 1, actual);
            wrappers.iread(dev, buf, 4096, reason, actual);
            blockSamples.push_back(micros(Clock::now() - start));
            if (actual <= 0) {
                throw std::runtime_error("empty answer to *IDN?");
            }
            answerBytes = static_cast<std::size_t>(actual);
        }
        const Floor floor = measureFloor(idnExchange(kind, answerBytes), perBlock);
        turns.add(floor, median(blockSamples) / floor.best());
        turns.samples.insert(turns.samples.end(), blockSamples.begin(), blockSamples.end());
    }
    wrappers.iclose(dev);
    return turns;
}

} // namespace bench
