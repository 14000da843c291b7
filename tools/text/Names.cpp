#include "Names.h"

#include <cstdio>

namespace tool {

namespace {

bool IsForbiddenCharacter(uint32_t c)
{
    for (const char* forbidden = "\"*/:<>?\\|"; *forbidden; ++forbidden)
        if (c == static_cast<unsigned char>(*forbidden)) return true;
    return false;
}

// The character a unit stands for: the host layer's U+F000 plus a forbidden
// character or a control character is that character.
uint32_t Meant(WCHAR unit)
{
    const uint32_t c = unit;
    if (c >= 0xF000 && c < 0xF080 && (c - 0xF000 < 0x20 || IsForbiddenCharacter(c - 0xF000))) return c - 0xF000;
    return c;
}

bool IsHighSurrogate(uint32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(uint32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

char Upper(uint32_t c) { return static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c); }

void AppendUtf8(std::string* text, uint32_t c)
{
    if (c < 0x80) {
        *text += static_cast<char>(c);
    } else if (c < 0x800) {
        *text += static_cast<char>(0xC0 | (c >> 6));
        *text += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        *text += static_cast<char>(0xE0 | (c >> 12));
        *text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *text += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        *text += static_cast<char>(0xF0 | (c >> 18));
        *text += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        *text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *text += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::string Escape(const char* format, unsigned value)
{
    char text[16];
    snprintf(text, sizeof text, format, value);
    return text;
}

// A character a short name may hold, besides letters and digits.
bool IsShortNameSymbol(WCHAR unit) { return unit < 0x80 && DeviceName(TEXT("!#$%&'()-@^_`{}~")).find(unit) != DeviceName::npos; }

// "upper", "lower" or "" (no letters) for a part of an 8.3 name; "mixed"
// for one that mixes cases or holds what no short name holds.
const char* LetterCaseOf(const DeviceName& part)
{
    bool upper = false;
    bool lower = false;
    for (WCHAR unit : part) {
        if (unit >= 'A' && unit <= 'Z') upper = true;
        else if (unit >= 'a' && unit <= 'z') lower = true;
        else if (!(unit >= '0' && unit <= '9') && !IsShortNameSymbol(unit)) return "mixed";
    }
    if (upper && lower) return "mixed";
    return upper ? "upper" : lower ? "lower" : "";
}

bool IsOneEntryName(const DeviceName& name)
{
    const size_t dot = name.find(TEXT('.'));
    const DeviceName base = name.substr(0, dot);
    const DeviceName extension = dot == DeviceName::npos ? DeviceName() : name.substr(dot + 1);
    if (base.empty() || base.size() > 8 || extension.size() > 3) return false;
    if (dot != DeviceName::npos && (extension.empty() || extension.find(TEXT('.')) != DeviceName::npos)) return false;
    return std::string(LetterCaseOf(base)) != "mixed" &&
           std::string(LetterCaseOf(extension)) != "mixed";
}

} // namespace

bool IsReservedDeviceName(const DeviceName& name)
{
    // The part before the first dot, trailing spaces ignored, as Windows reads it.
    size_t end = name.find(TEXT('.'));
    if (end == DeviceName::npos) end = name.size();
    while (end > 0 && name[end - 1] == TEXT(' ')) --end;
    std::string base;
    for (size_t i = 0; i < end; ++i) {
        if (name[i] > 0x7F) return false;
        base += Upper(name[i]);
    }
    if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL") return true;
    return base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) && base[3] >= '1' &&
           base[3] <= '9';
}

std::vector<std::string> NameProblems(const DeviceName& name)
{
    std::vector<std::string> problems;
    if (IsReservedDeviceName(name)) {
        size_t end = name.find(TEXT('.'));
        std::string base = EscapedName(name.substr(0, end == DeviceName::npos ? name.size() : end));
        while (!base.empty() && base.back() == ' ') base.pop_back();
        for (char& c : base) c = Upper(static_cast<unsigned char>(c));
        problems.push_back("is the device name " + base + ", which Windows opens as the device, so no Windows PC "
                           "writes it to a card");
    }
    bool notUtf8 = false;
    bool unpaired = false;
    bool control = false;
    std::string forbidden;
    for (size_t i = 0; i < name.size(); ++i) {
        const uint32_t c = Meant(name[i]);
        if (IsHighSurrogate(c) && i + 1 < name.size() && IsLowSurrogate(name[i + 1])) {
            ++i;
            continue;
        }
        if (c >= 0xDC80 && c <= 0xDCFF) notUtf8 = true;
        else if (IsHighSurrogate(c) || IsLowSurrogate(c)) unpaired = true;
        else if (c < 0x20 || c == 0x7F) control = true;
        else if (IsForbiddenCharacter(c) && forbidden.find(static_cast<char>(c)) == std::string::npos)
            forbidden += static_cast<char>(c);
    }
    if (notUtf8) problems.push_back("is not valid UTF-8, so it has no FAT long-name form");
    if (unpaired) problems.push_back("holds an unpaired UTF-16 surrogate, so it has no FAT long-name form");
    if (control) problems.push_back("holds a control character");
    for (char c : forbidden) problems.push_back(std::string("holds \"") + c + "\"");
    if (!name.empty() && name.back() == TEXT('.')) problems.push_back("ends in a dot");
    if (!name.empty() && name.back() == TEXT(' ')) problems.push_back("ends in a space");
    return problems;
}

std::string EscapedName(const DeviceName& name)
{
    std::string text;
    for (size_t i = 0; i < name.size(); ++i) {
        const uint32_t c = Meant(name[i]);
        if (IsHighSurrogate(c) && i + 1 < name.size() && IsLowSurrogate(name[i + 1])) {
            AppendUtf8(&text, 0x10000 + ((c - 0xD800) << 10) + (name[i + 1] - 0xDC00u));
            ++i;
        } else if (c >= 0xDC80 && c <= 0xDCFF) {
            text += Escape("\\x%02X", c - 0xDC00);
        } else if (IsHighSurrogate(c) || IsLowSurrogate(c)) {
            text += Escape("\\u%04X", c);
        } else if (c < 0x20 || c == 0x7F) {
            text += Escape("\\x%02X", c);
        } else {
            AppendUtf8(&text, c);
        }
    }
    return text;
}

std::string EscapedBytes(const std::string& bytes)
{
    std::string text;
    for (size_t i = 0; i < bytes.size();) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        const size_t length = byte < 0x80 ? 1 : (byte & 0xE0) == 0xC0 ? 2 : (byte & 0xF0) == 0xE0 ? 3
                                                : (byte & 0xF8) == 0xF0 ? 4 : 0;
        uint32_t c = length == 1 ? byte : length == 2 ? byte & 0x1F : length == 3 ? byte & 0x0F : byte & 0x07;
        bool valid = length != 0 && i + length <= bytes.size();
        for (size_t k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(bytes[i + k]);
            valid = (next & 0xC0) == 0x80;
            c = (c << 6) | (next & 0x3F);
        }
        // Overlong forms, surrogates and beyond U+10FFFF are no UTF-8 either.
        static const uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
        valid = valid && c >= kLeast[length] && c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF);
        if (!valid) {
            text += Escape("\\x%02X", byte);
            ++i;
            continue;
        }
        if (c < 0x20 || c == 0x7F) text += Escape("\\x%02X", c);
        else text.append(bytes, i, length);
        i += length;
    }
    return text;
}

uint64_t DirectoryEntries(const DeviceName& name)
{
    if (IsOneEntryName(name)) return 1;
    return 1 + (name.size() + 12) / 13;
}

DeviceName ShortNameOf(const DeviceName& name)
{
    const size_t dot = name.rfind(TEXT('.'));
    const bool hasExtension = dot != DeviceName::npos && dot != 0;
    const DeviceName base = hasExtension ? name.substr(0, dot) : name;
    const DeviceName extension = hasExtension ? name.substr(dot + 1) : DeviceName();
    bool lossy = false;
    const auto shorten = [&lossy](const DeviceName& part) {
        DeviceName kept;
        for (WCHAR unit : part) {
            if (unit == TEXT(' ') || unit == TEXT('.')) {
                lossy = true;
                continue;
            }
            if (unit >= TEXT('a') && unit <= TEXT('z')) {
                unit = static_cast<WCHAR>(unit - TEXT('a') + TEXT('A'));
            } else if (unit > 0x7F || DeviceName(TEXT("+,;=[]")).find(unit) != DeviceName::npos) {
                unit = TEXT('_');
                lossy = true;
            }
            kept += unit;
        }
        return kept;
    };
    DeviceName shortBase = shorten(base);
    const DeviceName shortExtension = shorten(extension);
    if (shortBase.size() > 8 || shortExtension.size() > 3) lossy = true;
    if (!lossy || shortBase.empty()) return DeviceName();
    shortBase = shortBase.substr(0, 6) + TEXT("~1");
    return shortExtension.empty() ? shortBase : shortBase + TEXT('.') + shortExtension.substr(0, 3);
}

} // namespace tool
