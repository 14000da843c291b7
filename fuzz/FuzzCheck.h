// Checks of the fuzz targets. Under libFuzzer a failed check aborts, so the
// engine keeps the input; in the corpus replay it is a test failure.
#ifndef PELK_FUZZ_CHECK_H
#define PELK_FUZZ_CHECK_H

#include <cstddef>
#include <cstdint>
#include <string>

void FuzzFail(const char* file, int line, const std::string& message);

#define FUZZ_CHECK(condition, message)                                         \
    do {                                                                       \
        if (!(condition)) FuzzFail(__FILE__, __LINE__, std::string(#condition ": ") + (message)); \
    } while (0)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

#endif
