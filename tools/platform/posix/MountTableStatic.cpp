// The mount that holds a folder, read from /proc/self/mountinfo here, for a
// program linked -static (the pull test's writer): Debian ships no static
// libmount. Every other program asks libmount (MountTable.cpp).
#include "MountTable.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

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

// Every mount /proc/self/mountinfo lists.
std::vector<Mount> MountsNow()
{
    std::ifstream table("/proc/self/mountinfo");
    std::vector<Mount> mounts;
    std::string line;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string id, parent, numbers, root, point, field;
        if (!(fields >> id >> parent >> numbers >> root >> point)) continue;
        while (fields >> field && field != "-") {
        }
        MountFacts facts;
        if (fields >> facts.type >> facts.source) mounts.push_back({Unescaped(point), facts});
    }
    return mounts;
}

// The longest mount point above the folder.
MountFacts MountHolding(const fs::path& folder)
{
    std::error_code error;
    const std::string path = fs::weakly_canonical(fs::absolute(folder, error), error).string();
    std::string bestPoint;
    MountFacts best;
    for (const Mount& mount : MountsNow()) {
        const std::string point = mount.target.string();
        const bool above = path == point || point == "/" ||
                           (path.compare(0, point.size(), point) == 0 && path[point.size()] == '/');
        if (above && point.size() >= bestPoint.size()) {
            bestPoint = point;
            best = mount.facts;
        }
    }
    return best;
}

// The kernel marks /proc/self/mountinfo with POLLPRI when the table changes.
struct MountMonitor {
    int table;
};

MountMonitor* WatchMountTable(std::string* why)
{
    const int table = open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    if (table < 0) {
        *why = "cannot open /proc/self/mountinfo";
        return nullptr;
    }
    return new MountMonitor{table};
}

bool AwaitMountChange(MountMonitor* monitor, int wake)
{
    struct pollfd watched[2] = {{monitor->table, POLLPRI, 0}, {wake, POLLIN, 0}};
    return poll(watched, 2, -1) > 0 && !watched[1].revents;
}

void EndMountMonitor(MountMonitor* monitor)
{
    if (!monitor) return;
    close(monitor->table);
    delete monitor;
}

} // namespace tool
