// Runs a fuzz target's entry function over its committed seeds and regression inputs, and over
// deterministic mutations of the seeds (truncations and bit flips), so every build (gcc
// included, sanitizers when enabled) exercises the target without libFuzzer. A broken check or
// a sanitizer finding aborts the test, naming nothing but the crash; the file being replayed
// is printed first so the failing input is known.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

std::vector<std::filesystem::path> inputsIn(const std::filesystem::path& dir) {
    std::vector<std::filesystem::path> files;
    if (std::filesystem::is_directory(dir)) {
        for (const auto& entry : std::filesystem::directory_iterator(dir)) {
            if (entry.is_regular_file())
                files.push_back(entry.path());
        }
    }
    return files;
}

std::vector<std::uint8_t> contentOf(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::vector<std::uint8_t> content{std::istreambuf_iterator<char>(in),
                                      std::istreambuf_iterator<char>()};
    EXPECT_TRUE(in.good() || in.eof()) << file;
    return content;
}

/// Runs the target on the first `size` bytes of `input`, from a copy of exactly that size, so
/// that reading past the input is caught by ASan.
int runOn(const std::vector<std::uint8_t>& input, std::size_t size) {
    const auto copy = std::make_unique<std::uint8_t[]>(size);
    std::copy_n(input.begin(), size, copy.get());
    return LLVMFuzzerTestOneInput(copy.get(), size);
}

std::size_t replay(const std::vector<std::filesystem::path>& files) {
    std::size_t bytes = 0;
    for (const auto& file : files) {
        std::fprintf(stderr, "replaying %s\n", file.c_str());
        const std::vector<std::uint8_t> content = contentOf(file);
        EXPECT_EQ(runOn(content, content.size()), 0) << file;
        bytes += content.size();
    }
    return bytes;
}

/// Every truncation of `input` and a flip of every seventh bit of it, the first `keep` bytes
/// left as they are. Returns the runs made.
std::size_t replayMutations(std::vector<std::uint8_t> input, std::size_t keep) {
    std::size_t runs = 0;
    for (std::size_t cut = std::max<std::size_t>(keep, 1); cut <= input.size(); ++cut, ++runs) {
        EXPECT_EQ(runOn(input, cut), 0) << "cut at " << cut;
    }
    for (std::size_t bit = 8 * keep; bit < input.size() * 8; bit += 7, ++runs) {
        input[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        EXPECT_EQ(runOn(input, input.size()), 0) << "bit " << bit << " flipped";
        input[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    }
    return runs;
}

} // namespace

// The suite is named after the target (SICLQUILL_FUZZ_SUITE), so the tests of different
// targets have different names in ctest.
TEST(SICLQUILL_FUZZ_SUITE, SeedAndRegressionInputsDecodeWithoutFault) {
    const auto seeds = inputsIn(SICLQUILL_FUZZ_CORPUS);
    ASSERT_FALSE(seeds.empty()) << "no seed inputs in " << SICLQUILL_FUZZ_CORPUS;
    EXPECT_GT(replay(seeds), 0u);
    replay(inputsIn(SICLQUILL_FUZZ_REGRESSIONS));
}

TEST(SICLQUILL_FUZZ_SUITE, EmptyAndOneByteInputsDecodeWithoutFault) {
    // The shortest inputs reach every early exit; each byte value once as a one-byte input.
    EXPECT_EQ(LLVMFuzzerTestOneInput(nullptr, 0), 0);
    for (int b = 0; b < 256; ++b) {
        const auto one = std::make_unique<std::uint8_t[]>(1);
        one[0] = static_cast<std::uint8_t>(b);
        EXPECT_EQ(LLVMFuzzerTestOneInput(one.get(), 1), 0);
    }
}

// A target whose first byte picks one of SICLQUILL_FUZZ_SELECTORS ways to read the rest gets
// every seed each of those ways, its mutations leaving that byte alone.
TEST(SICLQUILL_FUZZ_SUITE, SeedMutationsDecodeWithoutFault) {
    const auto seeds = inputsIn(SICLQUILL_FUZZ_CORPUS);
    ASSERT_FALSE(seeds.empty()) << "no seed inputs in " << SICLQUILL_FUZZ_CORPUS;
    constexpr int kSelectors = SICLQUILL_FUZZ_SELECTORS;
    std::size_t runs = 0;
    for (const auto& seed : seeds) {
        SCOPED_TRACE(seed.string());
        std::vector<std::uint8_t> input = contentOf(seed);
        if (input.empty()) {
            continue;
        }
        if (kSelectors == 0) {
            runs += replayMutations(input, 0);
        }
        for (int selector = 0; selector < kSelectors; ++selector) {
            input[0] = static_cast<std::uint8_t>(selector);
            runs += replayMutations(input, 1);
        }
    }
    EXPECT_GT(runs, seeds.size());
}
