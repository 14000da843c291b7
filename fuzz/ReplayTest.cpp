// Replays a fuzz target's committed seed corpus as ordinary tests, so the
// default build checks every seed without a fuzzing engine.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "FuzzCheck.h"

void FuzzFail(const char* file, int line, const std::string& message)
{
    ADD_FAILURE_AT(file, line) << message;
}

namespace {

std::vector<std::string> CorpusFiles()
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(PELK_CORPUS_DIR))
        if (entry.is_regular_file()) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class CorpusReplay : public ::testing::TestWithParam<std::string> {};

TEST_P(CorpusReplay, SeedHoldsEveryCheck)
{
    std::ifstream in(std::filesystem::path(PELK_CORPUS_DIR) / GetParam(), std::ios::binary);
    ASSERT_TRUE(in.good());
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // An exact-size copy, as the engine passes it.
    LLVMFuzzerTestOneInput(bytes.empty() ? nullptr : bytes.data(), bytes.size());
}

TEST(CorpusReplayCount, CorpusIsNotEmpty)
{
    EXPECT_GE(CorpusFiles().size(), 5u) << PELK_CORPUS_DIR;
}

INSTANTIATE_TEST_SUITE_P(Seeds, CorpusReplay, ::testing::ValuesIn(CorpusFiles()),
                         [](const ::testing::TestParamInfo<std::string>& seed) {
                             std::string name = seed.param;
                             for (char& c : name)
                                 if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                             return name;
                         });

} // namespace
