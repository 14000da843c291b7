// The program's entry on Windows.
#include <windows.h>

#include <cwchar>
#include <string>
#include <vector>

#include "ToolPlatform.h"

// -municode: the arguments arrive as UTF-16, whatever the ANSI code page.
int wmain(int argc, wchar_t** argv)
{
    tool::WriteUtf8ToTheConsole();
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) arguments.push_back(tool::Utf8(argv[i], static_cast<int>(wcslen(argv[i]))));
    return tool::Main(arguments);
}
