#include "Progress.h"

#include <algorithm>

namespace tool {

namespace {

uint64_t Files(const std::vector<TreeEntry>& tree)
{
    return static_cast<uint64_t>(
        std::count_if(tree.begin(), tree.end(), [](const TreeEntry& entry) { return !entry.folder; }));
}

} // namespace

ProgressModel::ProgressModel(const std::vector<TreeEntry>& package, const std::vector<TreeEntry>& stale)
    : staleEntries_(stale)
{
    for (const TreeEntry& entry : package)
        if (!entry.folder) packageFiles_.emplace(entry.key, entry.bytes);
    for (const TreeEntry& entry : stale) stale_.emplace(entry.key, !entry.folder);
    progress_.copying = stale.empty();
    progress_.oldFilesLeft = Files(stale);
}

JobProgress ProgressModel::Update(const std::vector<TreeEntry>& now, bool gone, bool removed,
                                  const std::function<bool(const TreeEntry&)>& stillThere)
{
    if (!progress_.copying) {
        const bool copyBegun = gone || removed || now.empty() || std::any_of(now.begin(), now.end(), [this](const TreeEntry& entry) {
                                   return !stale_.count(entry.key) || goneForGood_.count(entry.key);
                               });
        if (!copyBegun) {
            std::set<DeviceString> listed;
            for (const TreeEntry& entry : now) listed.insert(entry.key);
            for (const TreeEntry& entry : staleEntries_)
                if (!goneForGood_.count(entry.key) && !listed.count(entry.key) && !stillThere(entry))
                    goneForGood_.insert(entry.key);
            progress_.oldFilesLeft = 0;
            for (const auto& [key, file] : stale_)
                if (file && !goneForGood_.count(key)) ++progress_.oldFilesLeft;
            return progress_;
        }
        progress_.copying = true;
        progress_.oldFilesLeft = 0;
        staleEntries_.clear();
    }
    progress_.files = 0;
    progress_.bytes = 0;
    for (const TreeEntry& entry : now) {
        if (entry.folder) continue;
        const auto found = packageFiles_.find(entry.key);
        if (found == packageFiles_.end()) continue;
        progress_.bytes += std::min(entry.bytes, found->second);
        if (entry.bytes == found->second) ++progress_.files;
    }
    return progress_;
}

} // namespace tool
