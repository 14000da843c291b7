// pelk-mapcopy's commands, for the pull test, run inside the libguestfs
// appliance. --no-exchange (taken off the arguments first) has every
// exchanging rename fail with EINVAL, as on a volume that has no exchange
// (Windows, FUSE), so that write takes its two-rename path on a kernel whose
// vfat could exchange.
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "ToolPlatform.h"

namespace {

std::atomic<int> g_refused{0};

int RenameWithoutExchange(tool::Handle folder, const std::filesystem::path& from, const std::filesystem::path& to,
                          tool::RenameAs as)
{
    if (as == tool::RenameAs::Exchange) {
        ++g_refused;
        return EINVAL;
    }
    return tool::kFileCalls.rename(folder, from, to, as);
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> arguments(argv + 1, argv + argc);
    const bool noExchange = !arguments.empty() && arguments.front() == "--no-exchange";
    if (noExchange) {
        arguments.erase(arguments.begin());
        tool::g_fileCalls.rename = RenameWithoutExchange;
    }
    const int code = tool::Main(arguments);
    // The test learns from this that the two-rename path was asked for.
    if (noExchange) fprintf(stderr, "pelk_pull_writer: refused %d exchanges\n", g_refused.load());
    return code;
}
