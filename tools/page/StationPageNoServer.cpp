// Builds without an HTTP server library: Windows (Debian's cpp-httplib is a
// shared library for the build machine alone) and static programs.
#include "StationPageServer.h"

namespace tool {

std::unique_ptr<PageServer> ServeStationPage(const PageAddress&, PageFeed&, std::string* why)
{
    *why = "this build of pelk-mapcopy has no web page (it was built without cpp-httplib)";
    return nullptr;
}

} // namespace tool
