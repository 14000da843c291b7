// The mount that holds a folder, read from /proc/self/mountinfo here, for a
// program linked -static (the pull test's writer): Debian ships no static
// libmount. Every other program asks libmount (MountTablePosix.cpp).
#include "MountTable.h"

#include <cctype>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace tool {

namespace {

// "\040" and the like, as mountinfo escapes spaces in paths.
std::string Unescaped(const std::string& text)
{
    std::string plain;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && isdigit(static_cast<unsigned char>(text[i + 1]))) {
            plain += static_cast<char>(std::stoi(text.substr(i + 1, 3), nullptr, 8));
            i += 3;
        } else {
            plain += text[i];
        }
    }
    return plain;
}

} // namespace

// The longest mount point above the folder.
MountFacts MountHolding(const fs::path& folder)
{
    std::error_code error;
    const std::string path = fs::weakly_canonical(fs::absolute(folder, error), error).string();
    std::ifstream mounts("/proc/self/mountinfo");
    std::string line;
    std::string bestPoint;
    MountFacts best;
    while (std::getline(mounts, line)) {
        std::istringstream fields(line);
        std::string id, parent, numbers, root, point, field;
        if (!(fields >> id >> parent >> numbers >> root >> point)) continue;
        while (fields >> field && field != "-") {
        }
        MountFacts mount;
        point = Unescaped(point);
        if (!(fields >> mount.type >> mount.source)) continue;
        const bool above = path == point || point == "/" ||
                           (path.compare(0, point.size(), point) == 0 && path[point.size()] == '/');
        if (above && point.size() >= bestPoint.size()) {
            bestPoint = point;
            best = mount;
        }
    }
    return best;
}

} // namespace tool
