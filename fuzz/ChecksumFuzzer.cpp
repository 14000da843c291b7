// The checksum number reader against a model of the "%x" grammar written
// another way: find the token first, then let the C library convert its last
// eight digits. Input: one byte that seeds the piece sizes, then the text.
// Every buffer handed to the reader is a heap copy of exactly its size, so a
// read past the text is caught by AddressSanitizer.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "FuzzCheck.h"
#include "Transfer.h"

namespace {

struct ModelResult {
    uint32_t value;
    bool ended; // a character after the token was seen
};

bool IsSpace(unsigned char c) { return c != 0 && strchr(" \t\n\v\f\r", c) != nullptr; }
bool IsHex(unsigned char c) { return c != 0 && strchr("0123456789abcdefABCDEF", c) != nullptr; }

ModelResult ModelScan(const unsigned char* text, size_t length)
{
    size_t i = 0;
    while (i < length && IsSpace(text[i])) ++i;
    if (i == length) return {0, false};
    bool negative = false;
    if (text[i] == '+' || text[i] == '-') {
        negative = text[i] == '-';
        if (++i == length) return {0, false};
    }
    if (text[i] == '0' && i + 1 < length && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        i += 2;
        if (i == length) return {0, false};
    }
    std::string digits;
    while (i < length && IsHex(text[i])) digits += static_cast<char>(text[i++]);
    // Modulo 2^32 keeps the last eight hexadecimal digits.
    if (digits.size() > 8) digits.erase(0, digits.size() - 8);
    uint32_t value = digits.empty() ? 0 : static_cast<uint32_t>(strtoul(digits.c_str(), nullptr, 16));
    if (negative) value = 0u - value;
    return {value, i < length};
}

std::unique_ptr<unsigned char[]> ExactCopy(const unsigned char* text, size_t length)
{
    std::unique_ptr<unsigned char[]> copy(new unsigned char[length ? length : 1]);
    if (length) memcpy(copy.get(), text, length);
    return copy;
}

std::string Hex(uint32_t value)
{
    char text[16];
    snprintf(text, sizeof text, "%08X", static_cast<unsigned>(value));
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) return 0;
    uint32_t state = data[0] * 2654435761u + 7;
    const unsigned char* text = data + 1;
    const size_t length = size - 1;
    const ModelResult model = ModelScan(text, length);

    std::unique_ptr<unsigned char[]> whole = ExactCopy(text, length);
    const uint32_t parsed = ParseChecksumNumber(whole.get(), length);
    FUZZ_CHECK(parsed == model.value, "whole text read as " + Hex(parsed) + ", the grammar gives " + Hex(model.value));

    // The same text in pieces of random size (empty pieces too), until the
    // scanner says the token has ended.
    ChecksumScan scan;
    BeginChecksumScan(&scan);
    size_t offset = 0;
    bool ended = false;
    while (!ended && offset <= length) {
        state = state * 1103515245u + 12345u;
        size_t piece = (state >> 16) % 4 == 0 ? 0 : 1 + (state >> 18) % 9;
        if ((state >> 24) % 16 == 0) piece = length - offset;
        if (piece > length - offset) piece = length - offset;
        std::unique_ptr<unsigned char[]> bytes = ExactCopy(text + offset, piece);
        ended = ScanChecksumText(&scan, bytes.get(), piece);
        offset += piece;
        if (offset == length && piece == 0) break;
    }
    const uint32_t pieced = ChecksumScanValue(&scan);
    FUZZ_CHECK(pieced == model.value, "pieces read as " + Hex(pieced) + ", the grammar gives " + Hex(model.value));
    FUZZ_CHECK(ended == model.ended, model.ended ? "the token's end was not reported" : "an end reported too soon");

    // Through a stream, as the job reads the checksum file.
    if (length > 0) {
        FILE* file = fmemopen(whole.get(), length, "rb");
        FUZZ_CHECK(file != nullptr, "fmemopen");
        if (file) {
            const uint32_t streamed = ReadChecksumNumber(file);
            fclose(file);
            FUZZ_CHECK(streamed == model.value, "stream read as " + Hex(streamed) + ", the grammar gives " + Hex(model.value));
        }
    }

    // Where "%x" itself is defined (no overflow, no NUL), the C library's
    // own sscanf must agree with the model.
    size_t significant = 0;
    bool leading = true, hasNul = false;
    for (size_t i = 0; i < length; ++i) hasNul |= text[i] == 0;
    {
        size_t i = 0;
        while (i < length && IsSpace(text[i])) ++i;
        if (i < length && (text[i] == '+' || text[i] == '-')) ++i;
        if (i + 1 < length && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) i += 2;
        for (; i < length && IsHex(text[i]); ++i) {
            if (leading && text[i] == '0') continue;
            leading = false;
            ++significant;
        }
    }
    if (!hasNul && significant <= 8) {
        std::string copy(reinterpret_cast<const char*>(text), length);
        unsigned value = 0;
        if (sscanf(copy.c_str(), "%x", &value) != 1) value = 0;
        FUZZ_CHECK(value == model.value, "sscanf reads " + Hex(value) + ", the model gives " + Hex(model.value));
    }
    return 0;
}
