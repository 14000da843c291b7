#include "FuzzCheck.h"

#include <cstdio>
#include <cstdlib>

void FuzzFail(const char* file, int line, const std::string& message)
{
    fprintf(stderr, "%s:%d: %s\n", file, line, message.c_str());
    abort();
}
