// Progress lines redrawn in place on the terminal stderr is, through the
// platform's terminal calls (ToolPlatform.h): a line is written only when
// its text differs from what is on the screen, so a console that scrolls
// on every write (Wine's, old Windows') shows nothing new while nothing
// changes.
#ifndef PELK_TOOLS_LIVE_LINES_H
#define PELK_TOOLS_LIVE_LINES_H

#include <string>
#include <vector>

namespace tool {

// The caller serialises the calls and fits each line to the terminal.
class LiveLines {
public:
    // Puts lines on the screen in place of those shown before, each ending
    // with a line break: the cursor stays below the last.
    void Show(const std::vector<std::string>& lines);
    // Blanks the lines shown and leaves the cursor at the first of them.
    void Clear();

private:
    std::vector<std::string> shown_;
};

} // namespace tool

#endif
