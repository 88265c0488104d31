// The model harnesses of the range tree and the id set, driven by streams of
// seeded random bytes and by every input kept under
// tests/fuzz/regressions/<harness>, the same inputs the fuzzer replays.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

#include "hybrid_set_model.hpp"
#include "range_tree_model.hpp"

namespace corvalex::model {
namespace {

std::vector<uint8_t> random_bytes(uint64_t seed, size_t size) {
    std::mt19937_64 rng(seed);
    std::vector<uint8_t> bytes(size);
    for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(rng());
    return bytes;
}

template <typename Harness>
void replay_kept_inputs(const char* harness, Harness run) {
    const auto kept =
        std::filesystem::path(CORVALEX_SOURCE_DIR) / "tests/fuzz/regressions" / harness;
    std::size_t replayed = 0;
    for (const auto& entry : std::filesystem::directory_iterator(kept)) {
        std::ifstream file(entry.path(), std::ios::binary);
        const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(file), {}};
        EXPECT_NO_THROW(run(bytes.data(), bytes.size())) << entry.path().filename();
        ++replayed;
    }
    EXPECT_GT(replayed, 0u) << kept;
}

TEST(RangeTreeModel, SeededStreamsGrowSeveralLevelsAndMatch) {
    for (const uint64_t seed : {1, 2, 3, 4}) {
        const std::vector<uint8_t> bytes = random_bytes(seed, 6000);
        std::size_t levels = 0;
        ASSERT_NO_THROW(levels = run_range_tree_model(bytes.data(), bytes.size())) << seed;
        EXPECT_GE(levels, 3u) << seed;
    }
}

TEST(RangeTreeModel, KeptInputs) {
    replay_kept_inputs("range_tree", run_range_tree_model);
}

TEST(HybridSetModel, SeededStreamsMatch) {
    for (const uint64_t seed : {1, 2, 3, 4}) {
        const std::vector<uint8_t> bytes = random_bytes(seed, 100000);
        ASSERT_NO_THROW(run_hybrid_set_model(bytes.data(), bytes.size())) << seed;
    }
}

TEST(HybridSetModel, KeptInputs) {
    replay_kept_inputs("hybrid_set", run_hybrid_set_model);
}

}  // namespace
}  // namespace corvalex::model
