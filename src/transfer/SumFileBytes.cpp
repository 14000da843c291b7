#include "Transfer.h"

static const size_t kChunkBytes = 1024;

// A 16-bit lane holds the sum of 256 bytes (at most 65280) without carrying
// into its neighbour.
static const size_t kBatchWords = 256;
static const uint32_t kEvenBytes = 0x00FF00FFu;

// all is the batch's words added as integers, odd the sum of their odd bytes
// in two 16-bit lanes. all = even + (odd << 8), so the even bytes' lanes
// follow without masking them out of every word.
static uint16_t AddBatchToSum(uint16_t sum, uint32_t all, uint32_t odd)
{
    const uint32_t even = all - (odd << 8);
    return static_cast<uint16_t>(sum + even + (even >> 16) + odd + (odd >> 16));
}

uint16_t AddBytesToSum(uint16_t sum, const uint32_t* words, size_t count)
{
    // Word at a time: per word one add, one shift, one mask and one add, which
    // a 32-bit core without SIMD runs as is. A whole batch is taken as four
    // interleaved runs with a fixed trip count, which compilers vectorise
    // where the target has vectors.
    const size_t wordCount = count / sizeof(uint32_t);
    size_t index = 0;
    for (; wordCount - index >= kBatchWords; index += kBatchWords) {
        const uint32_t* batch = words + index;
        uint32_t all = 0;
        uint32_t odd = 0;
        for (size_t i = 0; i < kBatchWords / 4; ++i) {
            const uint32_t a = batch[i];
            const uint32_t b = batch[i + kBatchWords / 4];
            const uint32_t c = batch[i + kBatchWords / 2];
            const uint32_t d = batch[i + kBatchWords / 4 * 3];
            all += a + b + c + d;
            odd += ((a >> 8) & kEvenBytes) + ((b >> 8) & kEvenBytes) + ((c >> 8) & kEvenBytes) +
                   ((d >> 8) & kEvenBytes);
        }
        sum = AddBatchToSum(sum, all, odd);
    }
    // The rest, fewer words than a batch: in groups of 16 while they last.
    uint32_t all = 0;
    uint32_t odd = 0;
    for (; wordCount - index >= 16; index += 16) {
        for (size_t i = 0; i < 16; ++i) {
            all += words[index + i];
            odd += (words[index + i] >> 8) & kEvenBytes;
        }
    }
    for (; index < wordCount; ++index) {
        all += words[index];
        odd += (words[index] >> 8) & kEvenBytes;
    }
    sum = AddBatchToSum(sum, all, odd);
    const unsigned char* tail = reinterpret_cast<const unsigned char*>(words + wordCount);
    for (size_t i = 0; i < count % sizeof(uint32_t); ++i) sum = static_cast<uint16_t>(sum + tail[i]);
    return sum;
}

// Never inlined: its chunk buffer must not sit in the recursive walk's frames.
PELK_NOINLINE uint16_t SumFileBytes(const WCHAR* path)
{
    // Binary mode: the sum covers the bytes as stored, with no line-end or
    // end-of-file translation on any platform.
    FILE* file = _wfopen(path, TEXT("rb"));
    if (!file) return 0;
    uint32_t chunk[kChunkBytes / sizeof(uint32_t)];
    uint16_t sum = 0;
    size_t got;
    do {
        got = fread(chunk, 1, kChunkBytes, file);
        sum = AddBytesToSum(sum, chunk, got);
    } while (got == kChunkBytes);
    fclose(file);
    return sum;
}
