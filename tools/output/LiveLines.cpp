#include "LiveLines.h"

#include "ToolPlatform.h"

namespace tool {

void LiveLines::Show(const std::vector<std::string>& lines)
{
    if (lines == shown_) return;
    const size_t unchangedHead = [&] {
        size_t same = 0;
        while (same < lines.size() && same < shown_.size() && lines[same] == shown_[same]) ++same;
        return same;
    }();
    // Up to the first line that changes; the ones above stay as they are.
    if (!shown_.empty()) g_terminalCalls.lineUp(shown_.size() - unchangedHead);
    for (size_t i = unchangedHead; i < lines.size(); ++i) {
        if (i < shown_.size() && lines[i] == shown_[i]) {
            g_terminalCalls.write("\n");
            continue;
        }
        g_terminalCalls.write(lines[i]);
        g_terminalCalls.clearToEnd();
        g_terminalCalls.write("\n");
    }
    // Lines no longer shown are blanked, the cursor left below the new ones.
    if (shown_.size() > lines.size()) {
        for (size_t i = lines.size(); i < shown_.size(); ++i) {
            g_terminalCalls.clearToEnd();
            g_terminalCalls.write("\n");
        }
        g_terminalCalls.lineUp(shown_.size() - lines.size());
    }
    shown_ = lines;
}

void LiveLines::Clear()
{
    if (shown_.empty()) return;
    Show(std::vector<std::string>(shown_.size()));
    g_terminalCalls.lineUp(shown_.size());
    shown_.clear();
}

} // namespace tool
