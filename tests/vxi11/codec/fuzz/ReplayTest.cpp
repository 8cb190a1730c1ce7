// Replays the fuzz seeds, and deterministic mutations of them (truncations and bit flips),
// through the fuzz target, so every build (the sanitizer build included) runs it.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size);

namespace {

std::vector<std::vector<std::uint8_t>> loadSeeds() {
    std::vector<std::vector<std::uint8_t>> seeds;
    for (const auto& entry : std::filesystem::directory_iterator(SICLQUILL_FUZZ_SEEDS)) {
        std::ifstream in(entry.path(), std::ios::binary);
        seeds.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return seeds;
}

} // namespace

TEST(CodecFuzzReplay, SeedsAndTheirMutationsRunCleanThroughEveryDecoder) {
    const auto seeds = loadSeeds();
    ASSERT_GE(seeds.size(), 8u);
    std::size_t runs = 0;
    for (const auto& seed : seeds) {
        for (int decoder = 0; decoder < 20; ++decoder) {
            std::vector<std::uint8_t> input = seed;
            if (input.empty())
                continue;
            input[0] = static_cast<std::uint8_t>(decoder);
            for (std::size_t cut = 1; cut <= input.size(); ++cut, ++runs)
                LLVMFuzzerTestOneInput(input.data(), cut);
            for (std::size_t bit = 8; bit < input.size() * 8; bit += 7, ++runs) {
                input[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
                LLVMFuzzerTestOneInput(input.data(), input.size());
                input[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
            }
        }
    }
    EXPECT_GT(runs, 1000u);
}
