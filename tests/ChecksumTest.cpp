// The checksum file's number and its comparison with the package sum.
#include "DeviceFixture.h"

#include "JobState.h"
#include "Transfer.h"

namespace {

struct NumberCase {
    const char* text;
    size_t length; // 0: strlen(text)
    uint32_t value;
};

const NumberCase kNumberCases[] = {
    {"1A2B", 0, 0x1A2B},
    {"1a2b", 0, 0x1A2B},
    {"0x1A2B", 0, 0x1A2B},
    {"0X1a2B", 0, 0x1A2B},
    {"   1A2B", 0, 0x1A2B},
    {"\r\n\t\v\f 1A2B\r\n", 0, 0x1A2B},
    {"1A2B\r\n", 0, 0x1A2B},
    {"1A2B trailing words [section]", 0, 0x1A2B},
    {"51A2B", 0, 0x51A2B},
    {"126", 0, 0x126},
    {"+1A2B", 0, 0x1A2B},
    {"-1", 0, 0xFFFFFFFFu},
    {"-0x10", 0, 0xFFFFFFF0u},
    {"123456789ABCDEF0", 0, 0x9ABCDEF0u},
    {"0xFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF1", 0, 0xFFFFFFF1u},
    {"00000000000000000000000000000000000000001A2B", 0, 0x1A2B},
    {"", 0, 0},
    {"   \r\n", 0, 0},
    {"[1A2B]", 0, 0},
    {"g12", 0, 0},
    {"x12", 0, 0},
    {"0x", 0, 0},
    {"0xg", 0, 0},
    {"0x0x5", 0, 0},
    {"00x5", 0, 0},
    {"- 5", 0, 0},
    {"+-5", 0, 0},
    {"--5", 0, 0},
    {"1A2B\0FFFF", 9, 0x1A2B},
    {"\0" "1A2B", 5, 0},
    {"\x1A" "1A2B", 5, 0},
    {"\xA0" "1A2B", 5, 0},
};

class ChecksumNumberTest : public ::testing::TestWithParam<NumberCase> {
protected:
    std::string Text() const
    {
        const NumberCase& c = GetParam();
        return std::string(c.text, c.length ? c.length : strlen(c.text));
    }
};

} // namespace

TEST_P(ChecksumNumberTest, ReadsTheFirstTokenAsPercentX)
{
    const std::string text = Text();
    EXPECT_EQ(ParseChecksumNumber(reinterpret_cast<const unsigned char*>(text.data()), text.size()),
              GetParam().value);
}

TEST_P(ChecksumNumberTest, PiecesOfAnySizeReadTheSame)
{
    const std::string text = Text();
    for (size_t piece = 1; piece <= 4; ++piece) {
        ChecksumScan scan;
        BeginChecksumScan(&scan);
        for (size_t at = 0; at < text.size(); at += piece) {
            const size_t length = std::min(piece, text.size() - at);
            ScanChecksumText(&scan, reinterpret_cast<const unsigned char*>(text.data()) + at, length);
        }
        EXPECT_EQ(ChecksumScanValue(&scan), GetParam().value) << "pieces of " << piece;
    }
}

INSTANTIATE_TEST_SUITE_P(Grammar, ChecksumNumberTest, ::testing::ValuesIn(kNumberCases));

namespace {

// Bytes summing to 0x1A2B (6699): 26 * 255 + 69.
std::string BytesSumming1A2B() { return std::string(26, '\xFF') + "E"; }

class ChecksumFileTest : public DeviceTest, public ::testing::WithParamInterface<std::pair<const char*, int32_t>> {};

} // namespace

TEST_P(ChecksumFileTest, ComparesLow16BitsWithThePackageSum)
{
    WritePackage({{"tile.bin", BytesSumming1A2B()}, {"PreDLVerno.ini", "v"}});
    WriteChecksumFile(GetParam().first);
    EXPECT_EQ(RunJob(), GetParam().second);
    EXPECT_EQ(g_packageSum, 0x1A2B);
}

// How the number reads is the grammar's table above; these rows are about
// the comparison: the low 16 bits, a number one off, a decimal reading.
INSTANTIATE_TEST_SUITE_P(Forms, ChecksumFileTest,
                         ::testing::Values(std::make_pair("1A2B", STATUS_OK),
                                           std::make_pair("FFFF1A2B ; packed", STATUS_OK),
                                           std::make_pair("1A2C", STATUS_CHECKSUM_FAILED),
                                           std::make_pair("6699", STATUS_CHECKSUM_FAILED),
                                           std::make_pair("", STATUS_CHECKSUM_FAILED)));

TEST_F(DeviceTest, WrappedSumMatchesInItsWrappedForm)
{
    WritePackage({{"big.bin", std::string(300, '\xFF')}}); // 76500 = 0x12AD4
    WriteChecksumFile("12AD4");
    EXPECT_EQ(RunJob(), STATUS_OK);
    WriteChecksumFile("2AD4");
    EXPECT_EQ(RunJob(), STATUS_OK);
}

TEST_F(DeviceTest, MissingChecksumFileFails)
{
    WritePackage({{"a.bin", "a"}});
    EXPECT_EQ(RunJob(), STATUS_CHECKSUM_FAILED);
    EXPECT_EQ(ReadFile("MassStorage/a.bin"), "a");
}

TEST_F(DeviceTest, ChecksumFileThatIsAFolderFails)
{
    WritePackage({{"checksum.ini/inside.bin", ""}});
    EXPECT_EQ(RunJob(), STATUS_CHECKSUM_FAILED);
}

TEST_F(DeviceTest, ChecksumIsReadFromTheCardNotFromTheCopy)
{
    WriteSealedPackage({{"a.bin", "abc"}});
    // A stale target holding a matching-looking checksum.ini must not matter:
    // the target is cleared and the number comes from the card.
    WriteFile("MassStorage/checksum.ini", "0");
    EXPECT_EQ(RunJob(), STATUS_OK);
    WriteChecksumFile("0");
    EXPECT_EQ(RunJob(), STATUS_CHECKSUM_FAILED);
}
