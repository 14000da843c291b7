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
    : fewestEntries_(stale.size())
{
    for (const TreeEntry& entry : package)
        if (!entry.folder) packageFiles_.emplace(entry.key, entry.bytes);
    for (const TreeEntry& entry : stale) staleKeys_.insert(entry.key);
    progress_.copying = stale.empty();
    progress_.oldFilesLeft = Files(stale);
}

JobProgress ProgressModel::Update(const std::vector<TreeEntry>& now, bool gone)
{
    if (!progress_.copying) {
        const bool newName = std::any_of(now.begin(), now.end(),
                                         [this](const TreeEntry& entry) { return !staleKeys_.count(entry.key); });
        if (gone || now.empty() || now.size() > fewestEntries_ || newName) {
            progress_.copying = true;
            progress_.oldFilesLeft = 0;
        } else {
            fewestEntries_ = now.size();
            progress_.oldFilesLeft = Files(now);
            return progress_;
        }
    }
    JobProgress seen = progress_;
    seen.files = 0;
    seen.bytes = 0;
    for (const TreeEntry& entry : now) {
        if (entry.folder) continue;
        const auto found = packageFiles_.find(entry.key);
        if (found == packageFiles_.end()) continue;
        seen.bytes += std::min(entry.bytes, found->second);
        if (entry.bytes == found->second) ++seen.files;
    }
    progress_ = seen;
    return progress_;
}

} // namespace tool
