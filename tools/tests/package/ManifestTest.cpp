// The manifest's lines as sha256sum writes and reads them, its differences,
// and the one pass that hashes and sums a file, against known digests and
// the byte-by-byte sum.
#include <gtest/gtest.h>

#include <fstream>

#include "DeviceFixture.h"
#include "ToolPlatform.h"
#include "Manifest.h"
#include "Rows.h"

namespace {

using tool::Manifest;

const std::string kEmptySha = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
const std::string kAbcSha = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

TEST(Sha256, GivesTheKnownDigests)
{
    EXPECT_EQ(tool::Sha256Of(""), kEmptySha);
    EXPECT_EQ(tool::Sha256Of("abc"), kAbcSha);
    // Added in pieces as the chunks come: the same digest.
    tool::Sha256 pieces;
    pieces.Add("a", 1);
    pieces.Add("bc", 2);
    EXPECT_EQ(pieces.Finish(), kAbcSha);
}

struct LineCase {
    const char* name;
    std::string path;
    std::string line; // as sha256sum writes it
};


class ManifestLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(ManifestLine, IsWrittenAndReadAsSha256sumDoes)
{
    const LineCase& c = GetParam();
    const Manifest manifest = {{c.path, kAbcSha}};
    EXPECT_EQ(tool::FormatManifest(manifest), c.line);
    Manifest parsed;
    std::string why;
    ASSERT_TRUE(tool::ParseManifest(c.line, &parsed, &why)) << why;
    EXPECT_EQ(parsed, manifest);
}

INSTANTIATE_TEST_SUITE_P(
    Names, ManifestLine,
    ::testing::Values(LineCase{"Plain", "Map/DE.map", kAbcSha + "  Map/DE.map\n"},
                      LineCase{"Space", "Map/a b.txt", kAbcSha + "  Map/a b.txt\n"},
                      LineCase{"Backslash", "Map/a\\b", "\\" + kAbcSha + "  Map/a\\\\b\n"},
                      LineCase{"LineFeed", "Map/a\nb", "\\" + kAbcSha + "  Map/a\\nb\n"},
                      LineCase{"Utf8", "Poi/\xC3\x9C" "ber.csv", kAbcSha + "  Poi/\xC3\x9C" "ber.csv\n"}),
    ByName());

TEST(ManifestText, IsSortedAsBytesAndReadInBothModes)
{
    // "Z" before "a" before "\xC3": bytes, as LC_ALL=C sort has them.
    const Manifest manifest = {{"a.map", kAbcSha}, {"Z.map", kEmptySha}, {"\xC3\x9C.map", kAbcSha}};
    EXPECT_EQ(tool::FormatManifest(manifest),
              kEmptySha + "  Z.map\n" + kAbcSha + "  a.map\n" + kAbcSha + "  \xC3\x9C.map\n");
    Manifest parsed;
    std::string why;
    // Binary mode ("*"), upper-case digits and CR LF, as other tools write them.
    std::string upper = kAbcSha;
    for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    ASSERT_TRUE(tool::ParseManifest(upper + " *a.map\r\n", &parsed, &why)) << why;
    EXPECT_EQ(parsed, (Manifest{{"a.map", kAbcSha}}));
}

TEST(ManifestText, RefusesLinesThatAreNoSha256sumLines)
{
    for (const std::string& text : {std::string("not a manifest\n"), kAbcSha.substr(1) + "  a.map\n",
                                    kAbcSha + " a.map\n", kAbcSha + "  \n" + kAbcSha, "g" + kAbcSha.substr(1) + "  a\n"}) {
        Manifest parsed;
        std::string why;
        EXPECT_FALSE(tool::ParseManifest(text, &parsed, &why)) << text;
        EXPECT_NE(why.find("line "), std::string::npos) << why;
    }
}

TEST(ManifestDifference, NamesChangedAddedAndMissingAndCountsTheRest)
{
    Manifest sealed;
    Manifest now;
    for (int i = 0; i < 8; ++i) {
        const std::string name = "Map/T" + std::to_string(i) + ".map";
        sealed[name] = kAbcSha;
        now[name] = i < 5 ? kEmptySha : kAbcSha;
    }
    sealed["gone.map"] = kAbcSha;
    now["new.map"] = kAbcSha;
    const tool::ManifestDifference difference = tool::CompareManifests(sealed, now);
    EXPECT_EQ(difference.changed.size(), 5u);
    EXPECT_EQ(difference.added, std::vector<std::string>{"new.map"});
    EXPECT_EQ(difference.missing, std::vector<std::string>{"gone.map"});
    const std::vector<std::string> lines = tool::DifferenceLines(difference, 3);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "changed: Map/T0.map");
    EXPECT_EQ(lines[3], "... and 4 more (5 changed, 1 added, 1 missing)");
    EXPECT_EQ(tool::DifferenceLines(difference, 10).size(), 7u) << "all shown, no count";
    EXPECT_EQ(tool::CompareManifests(now, now).Count(), 0u);
}

TEST(ManifestPlace, IsBesideThePackageFolderNeverInside)
{
    const fs::path here = fs::current_path();
    EXPECT_EQ(tool::ManifestBeside("card/SDMMC/PreDLMap"), here / "card/SDMMC/PreDLMap.sha256");
    EXPECT_EQ(tool::ManifestBeside("card/PreDLMap/"), here / "card/PreDLMap.sha256");
    EXPECT_EQ(tool::ManifestBeside("card/PreDLMap/."), here / "card/PreDLMap.sha256");
    EXPECT_TRUE(tool::ManifestBeside(here.root_path()).empty());
}

class DigestFileTest : public DeviceTest {};

TEST_F(DigestFileTest, HashesAndSumsInOnePassAcrossChunks)
{
    // Around the chunk's end, where a sum made of whole words per chunk
    // would go wrong, and with every byte 0xFF.
    const size_t chunk = tool::ChunkBuffer::kBytes;
    for (const size_t size : {size_t{0}, size_t{3}, chunk - 1, chunk, chunk + 3, 2 * chunk + 1}) {
        const std::string bytes = size % 2 ? PatternBytes(size, 5) : std::string(size, '\xFF');
        WriteFile("tile.bin", bytes);
        for (const tool::ReadMode mode : {tool::ReadMode::Cached, tool::ReadMode::FromTheVolume}) {
            tool::FileDigest digest;
            std::string why;
            uint64_t heard = 0;
            ASSERT_TRUE(tool::DigestFile(Root() / "tile.bin", mode, &digest, &why, [&](uint64_t n) { heard += n; }))
                << why;
            EXPECT_EQ(digest.sha256, tool::Sha256Of(bytes)) << size;
            EXPECT_EQ(digest.sum, ModelByteSum(bytes)) << size;
            EXPECT_EQ(digest.bytes, size);
            EXPECT_EQ(heard, size);
        }
    }
    tool::FileDigest digest;
    std::string why;
    EXPECT_FALSE(tool::DigestFile(Root() / "missing.bin", tool::ReadMode::Cached, &digest, &why));
    EXPECT_FALSE(why.empty());
}

TEST_F(DigestFileTest, AManifestFileIsReplacedWholeAndAbsentIsNoError)
{
    const fs::path file = Root() / "PreDLMap.sha256";
    Manifest read;
    bool present = true;
    std::string why;
    ASSERT_TRUE(tool::ReadManifestFile(file, &read, &present, &why));
    EXPECT_FALSE(present);
    WriteFile("PreDLMap.sha256.new", "a leftover of a killed seal");
    ASSERT_TRUE(tool::WriteManifestFile(file, tool::FormatManifest({{"a.map", kAbcSha}}), &why)) << why;
    ASSERT_TRUE(tool::WriteManifestFile(file, tool::FormatManifest({{"b.map", kAbcSha}}), &why)) << why;
    EXPECT_FALSE(Exists("PreDLMap.sha256.new"));
    ASSERT_TRUE(tool::ReadManifestFile(file, &read, &present, &why)) << why;
    EXPECT_TRUE(present);
    EXPECT_EQ(read, (Manifest{{"b.map", kAbcSha}}));
}

} // namespace
