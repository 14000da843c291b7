// The word-at-a-time byte sum against a byte-by-byte model, at the sizes
// where its batches and its tail change, and with every byte 0xFF, which
// fills its 16-bit lanes closest to overflow.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "DeviceFixture.h"
#include "Transfer.h"

namespace {

struct SumCase {
    size_t size;
    unsigned seed; // 0: every byte 0xFF
};

void PrintTo(const SumCase& c, std::ostream* os) { *os << c.size << " bytes, seed " << c.seed; }

class ByteSum : public ::testing::TestWithParam<SumCase> {};

TEST_P(ByteSum, MatchesTheByteByByteSum)
{
    const SumCase& c = GetParam();
    const std::string bytes = c.seed ? PatternBytes(c.size, c.seed) : std::string(c.size, '\xFF');
    std::vector<uint32_t> words(c.size / sizeof(uint32_t) + 1);
    memcpy(words.data(), bytes.data(), bytes.size());
    EXPECT_EQ(AddBytesToSum(0, words.data(), c.size), ModelByteSum(bytes));
    EXPECT_EQ(AddBytesToSum(0xFFF0, words.data(), c.size), static_cast<uint16_t>(0xFFF0 + ModelByteSum(bytes)));
}

INSTANTIATE_TEST_SUITE_P(Sizes, ByteSum,
                         ::testing::Values(SumCase{0, 1}, SumCase{3, 1}, SumCase{4, 0}, SumCase{255, 2},
                                           SumCase{1020, 3}, SumCase{1023, 0}, SumCase{1024, 0}, SumCase{1024, 4},
                                           SumCase{1027, 0}, SumCase{2047, 5}, SumCase{2048, 0},
                                           SumCase{4096 + 7, 0}, SumCase{65536 + 1, 6}));

class ByteSumFile : public DeviceTest {};

TEST_F(ByteSumFile, SumsAFileAcrossManyChunks)
{
    for (const size_t size : {size_t{1024} * 70, size_t{1024} * 70 + 513}) {
        const std::string bytes = PatternBytes(size, 7) + std::string(4096, '\xFF');
        WriteFile("tile.bin", bytes);
        EXPECT_EQ(SumFileBytes(TEXT("tile.bin")), ModelByteSum(bytes)) << size;
    }
}

} // namespace
