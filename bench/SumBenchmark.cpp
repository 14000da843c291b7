// Throughput of the package sum: AddBytesToSum on chunks in memory, and
// SumFileBytes on a file in the page cache through the host file layer.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "Transfer.h"

namespace {

void AddBytesToSumChunk(benchmark::State& state)
{
    const size_t bytes = static_cast<size_t>(state.range(0));
    std::vector<uint32_t> words(bytes / sizeof(uint32_t) + 1);
    for (size_t i = 0; i < words.size(); ++i) words[i] = static_cast<uint32_t>(i * 2654435761u);
    uint16_t sum = 0;
    for (auto _ : state) {
        sum = AddBytesToSum(sum, words.data(), bytes);
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
}
BENCHMARK(AddBytesToSumChunk)->Arg(1024)->Arg(1023)->Arg(64 << 10);

void SumFileBytesCached(benchmark::State& state)
{
    const size_t bytes = static_cast<size_t>(state.range(0));
    const std::filesystem::path folder = std::filesystem::temp_directory_path() / "pelk-sum-benchmark";
    std::filesystem::create_directories(folder);
    {
        std::string content(bytes, '\0');
        for (size_t i = 0; i < bytes; ++i) content[i] = static_cast<char>(i * 131 + (i >> 9));
        std::ofstream(folder / "tile.bin", std::ios::binary) << content;
    }
    HostSetDeviceRoot(folder.c_str());
    for (auto _ : state) benchmark::DoNotOptimize(SumFileBytes(u"tile.bin"));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
    HostSetDeviceRoot(nullptr);
    std::filesystem::remove_all(folder);
}
BENCHMARK(SumFileBytesCached)->Arg(2 << 10)->Arg(64 << 10)->Arg(16 << 20)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
