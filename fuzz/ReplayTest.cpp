// Runs a fuzz target's entry function over its committed seeds and regression inputs, so every
// build (gcc included, sanitizers when enabled) exercises the target without libFuzzer. A
// broken check or a sanitizer finding aborts the test, naming nothing but the crash; the file
// being replayed is printed first so the failing input is known.

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

std::size_t replay(const std::vector<std::filesystem::path>& files) {
    std::size_t bytes = 0;
    for (const auto& file : files) {
        std::fprintf(stderr, "replaying %s\n", file.c_str());
        std::ifstream in(file, std::ios::binary);
        const std::vector<char> content{std::istreambuf_iterator<char>(in),
                                        std::istreambuf_iterator<char>()};
        EXPECT_TRUE(in.good() || in.eof()) << file;
        // A copy of exactly the file's size, so reading past the input is caught by ASan.
        const auto copy = std::make_unique<std::uint8_t[]>(content.size());
        std::copy(content.begin(), content.end(), copy.get());
        EXPECT_EQ(LLVMFuzzerTestOneInput(copy.get(), content.size()), 0) << file;
        bytes += content.size();
    }
    return bytes;
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
