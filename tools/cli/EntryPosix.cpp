// The program's entry on Linux.
#include <string>
#include <vector>

#include "ToolPlatform.h"

int main(int argc, char** argv)
{
    // Linux arguments are bytes; the commands take them as UTF-8.
    return tool::Main(std::vector<std::string>(argv + 1, argv + argc));
}
