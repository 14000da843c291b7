#include "Transfer.h"

static const size_t kChunkBytes = 1024;

uint16_t AddBytesToSum(uint16_t sum, const size_t* words, size_t count)
{
    // Word at a time: the even and the odd bytes of each word are added into
    // 16-bit lanes of one register. A lane gains at most 2 * 255 per word, so
    // 128 words fill it to 65280 at most before it is folded into the sum.
    const size_t evenBytes = ~static_cast<size_t>(0) / 0xFFFF * 0xFF; // 0x00FF00FF...
    const size_t wordCount = count / sizeof(size_t);
    size_t index = 0;
    while (index < wordCount) {
        const size_t batchEnd = wordCount - index > 128 ? index + 128 : wordCount;
        size_t lanes = 0;
        for (; index < batchEnd; ++index) {
            const size_t word = words[index];
            lanes += (word & evenBytes) + ((word >> 8) & evenBytes);
        }
        for (size_t lane = 0; lane < sizeof(size_t) / 2; ++lane)
            sum = static_cast<uint16_t>(sum + (lanes >> (16 * lane)));
    }
    const unsigned char* tail = reinterpret_cast<const unsigned char*>(words + wordCount);
    for (size_t i = 0; i < count % sizeof(size_t); ++i) sum = static_cast<uint16_t>(sum + tail[i]);
    return sum;
}

// Never inlined: its chunk buffer must not sit in the recursive walk's frames.
PELK_NOINLINE uint16_t SumFileBytes(const WCHAR* path)
{
    // Binary mode: the sum covers the bytes as stored, with no line-end or
    // end-of-file translation on any platform.
    FILE* file = _wfopen(path, TEXT("rb"));
    if (!file) return 0;
    size_t chunk[kChunkBytes / sizeof(size_t)];
    uint16_t sum = 0;
    size_t got;
    do {
        got = fread(chunk, 1, kChunkBytes, file);
        sum = AddBytesToSum(sum, chunk, got);
    } while (got == kChunkBytes);
    fclose(file);
    return sum;
}
