// Writes a map-like package for the benchmarks: large tiles, mid-sized
// index files and many small POI/text files in several folder levels, with
// deterministic pseudo-random content.
//
//   pelk_make_package FOLDER [--size BYTES] [--shape default|small-files] [--seed N]
//                     [--per-folder N]
//
// default:     ~85% of the bytes in 1-16 MiB tiles (a few hundred per GiB),
//              ~10% in 4-64 KiB files (a few thousand per GiB),
//              ~5% in files under 2 KiB (tens of thousands per GiB).
// small-files: ~90% of the bytes in files under 2 KiB, the rest in 4-64 KiB
//              files: about 90,000 files per 100 MiB.
// --per-folder: files per leaf folder (default 200); the sizes and contents
// do not depend on it, so two packages that differ only in it differ only in
// how wide their folders are.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Random {
    uint64_t state;
    uint64_t Next()
    {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    }
    double Unit() { return static_cast<double>(Next() >> 11) / 9007199254740992.0; }
    uint64_t Between(uint64_t low, uint64_t high) { return low + Next() % (high - low + 1); }
};

std::vector<char> g_block;

void WriteFile(const fs::path& path, uint64_t size, Random& random)
{
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    // Slices of one random block at random offsets: fast, and no two files alike.
    while (size > 0) {
        const uint64_t offset = random.Next() % (g_block.size() / 2);
        const uint64_t piece = size < g_block.size() / 2 ? size : g_block.size() / 2;
        out.write(g_block.data() + offset, static_cast<std::streamsize>(piece));
        size -= piece;
    }
    if (!out) {
        fprintf(stderr, "pelk_make_package: cannot write %s\n", path.c_str());
        exit(74);
    }
}

uint64_t g_perFolder = 200;

// Spreads files over a few levels: group/sub/leaf, g_perFolder per leaf.
fs::path Place(const fs::path& base, const char* kind, uint64_t index, const char* extension)
{
    char name[96];
    const uint64_t leaf = index / g_perFolder;
    snprintf(name, sizeof name, "%s_%02llu/%c%02llu/%04llu/%06llu%s", kind,
             static_cast<unsigned long long>(leaf / 64 % 8), static_cast<char>('A' + leaf / 8 % 8),
             static_cast<unsigned long long>(leaf % 8), static_cast<unsigned long long>(leaf),
             static_cast<unsigned long long>(index), extension);
    return base / name;
}

struct Options {
    fs::path folder;
    uint64_t size = 1ull << 30;
    std::string shape = "default";
    uint64_t seed = 1;
};

// 0, or the exit code once it has said what is wrong.
int Parse(int argc, char** argv, Options* options)
{
    if (argc < 2 || argv[1][0] == '-') {
        fprintf(stderr, "usage: pelk_make_package FOLDER [--size BYTES] [--shape default|small-files] [--seed N] [--per-folder N]\n");
        return 64;
    }
    options->folder = argv[1];
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--size") options->size = std::strtoull(argv[i + 1], nullptr, 10);
        else if (option == "--shape") options->shape = argv[i + 1];
        else if (option == "--seed") options->seed = std::strtoull(argv[i + 1], nullptr, 10);
        else if (option == "--per-folder") g_perFolder = std::strtoull(argv[i + 1], nullptr, 10);
        else {
            fprintf(stderr, "pelk_make_package: unknown option %s\n", option.c_str());
            return 64;
        }
    }
    if (g_perFolder == 0) {
        fprintf(stderr, "pelk_make_package: --per-folder needs a number above 0\n");
        return 64;
    }
    if (options->shape != "default" && options->shape != "small-files") {
        fprintf(stderr, "pelk_make_package: unknown shape %s\n", options->shape.c_str());
        return 64;
    }
    return 0;
}

// Files of one kind, each as large as draw says, until budget bytes are
// written (added to *written); how many.
template <class Draw>
uint64_t WriteFiles(const fs::path& base, const char* kind, const char* extension, uint64_t budget, Random& random,
                    Draw draw, uint64_t* written)
{
    uint64_t files = 0;
    for (uint64_t index = 0; budget > 0; ++index, ++files) {
        uint64_t bytes = draw();
        if (bytes > budget) bytes = budget;
        WriteFile(Place(base, kind, index, extension), bytes, random);
        budget -= bytes;
        *written += bytes;
    }
    return files;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    if (const int refused = Parse(argc, argv, &options)) return refused;
    const fs::path& folder = options.folder;
    const uint64_t size = options.size;
    Random random{options.seed * 0x9E3779B97F4A7C15ull + 1};
    g_block.resize(32u << 20);
    for (size_t i = 0; i < g_block.size(); i += 8) {
        const uint64_t word = random.Next();
        for (size_t j = 0; j < 8; ++j) g_block[i + j] = static_cast<char>(word >> (8 * j));
    }

    fs::remove_all(folder);
    fs::create_directories(folder);
    const bool small = options.shape == "small-files";
    const uint64_t smallBudget = small ? size / 10 * 9 : size / 20;
    const uint64_t midBudget = small ? size - smallBudget : size / 10;
    uint64_t written = 0;
    uint64_t files = WriteFiles(folder / "Poi", "cat", ".poi", smallBudget, random,
                                [&] { return random.Between(1, 2047); }, &written);
    files += WriteFiles(folder / "Index", "idx", ".idx", midBudget, random,
                        [&] { return random.Between(4 << 10, 64 << 10); }, &written);
    // 1 MiB * 16^(u^2): mostly a few MiB, now and then up to 16 MiB.
    files += WriteFiles(folder / "Map", "zoom", ".tile", size > written ? size - written : 0, random, [&] {
        const double u = random.Unit();
        return static_cast<uint64_t>(std::ldexp(1.0, 20) * std::pow(16.0, u * u));
    }, &written);
    const std::string version = "[Version]\r\nMap=bench-" + options.shape + "\r\n";
    std::ofstream(folder / "PreDLVerno.ini", std::ios::binary) << version;
    printf("%llu files, %llu bytes in %s\n", static_cast<unsigned long long>(files + 1),
           static_cast<unsigned long long>(written + version.size()), folder.c_str());
    return 0;
}
