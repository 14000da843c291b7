// Headless Chromium for the tests of the station's page: the page loaded
// once, its DOM as the page's script left it, and the slots read from it.
#ifndef PELK_TOOL_TESTS_CHROMIUM_H
#define PELK_TOOL_TESTS_CHROMIUM_H

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

// Chromium, where installed (CI installs it); as root it needs --no-sandbox.
inline std::string Chromium()
{
    for (const char* name : {"chromium", "chromium-browser"}) {
        if (std::system(("command -v " + std::string(name) + " >/dev/null 2>&1").c_str()) == 0) return name;
    }
    return "";
}

// Chromium acts once the page has loaded, by which time its script has shown
// the view that came with it. Not --virtual-time-budget: virtual time stands
// still while a fetch is open, and the page's event stream stays open.
inline std::string RunChromium(const std::string& chromium, const std::string& what, const std::string& url)
{
    const std::string command =
        chromium + " --headless --no-sandbox --disable-gpu --hide-scrollbars " + what + " " + url + " 2>/dev/null";
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return output;
    char buffer[4096];
    for (size_t got; (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, got);
    pclose(pipe);
    return output;
}

struct ShownSlot {
    std::string card, result, verdict;
};

// Each <section id="slot-N">, in order, as the page's script left it.
inline std::vector<ShownSlot> SlotsIn(const std::string& dom)
{
    std::vector<ShownSlot> slots;
    const std::regex section(R"(<section ([^>]*)>([\s\S]*?)</section>)");
    const std::regex card(R"(data-card="([^"]*)\")"), result(R"(data-result="([^"]*)\")"),
        verdict(R"(<div class="verdict">([^<]*)</div>)"), id(R"(id="slot-(\d+)\")");
    for (auto it = std::sregex_iterator(dom.begin(), dom.end(), section); it != std::sregex_iterator(); ++it) {
        const std::string attributes = (*it)[1], body = (*it)[2];
        std::smatch match;
        if (!std::regex_search(attributes, match, id) || std::stoul(match[1]) != slots.size()) return {};
        ShownSlot slot;
        if (std::regex_search(attributes, match, card)) slot.card = match[1];
        if (std::regex_search(attributes, match, result)) slot.result = match[1];
        if (std::regex_search(body, match, verdict)) slot.verdict = match[1];
        slots.push_back(slot);
    }
    return slots;
}

#endif
