// Lossless conversion between device names (UTF-16) and host names (bytes):
// a byte that starts no valid UTF-8 sequence is U+DC00 + byte, a character
// Win32 forbids in names U+F000 + character, and a host name that holds such
// a private-use character itself keeps it as escaped bytes, so that no two
// host names share a device name. A device name that is the image of no host
// name (a stray surrogate, escaped bytes that would decode otherwise, a raw
// forbidden character, "." or "..") has no host form.
#include "HostFileLayer.h"

#include <string.h>

namespace {

// Controls and "*:<>?\|, a bit each.
const uint32_t kForbiddenAscii[4] = {
    0xFFFFFFFEu, (1u << 2) | (1u << 10) | (1u << 26) | (1u << 28) | (1u << 30) | (1u << 31), // '"' * : < > ?
    1u << ('\\' - 64), 1u << ('|' - 96)};

bool IsForbiddenInName(uint32_t c) { return c < 128 && ((kForbiddenAscii[c >> 5] >> (c & 31)) & 1) != 0; }

bool IsSeparator(WCHAR c) { return c == u'\\' || c == u'/'; }

// The lengths of the sequences UTF-8 allows, by the value they encode.
int Utf8Length(uint32_t code) { return code < 0x80 ? 1 : code < 0x800 ? 2 : code < 0x10000 ? 3 : 4; }

// Decodes one valid UTF-8 sequence at text; returns its length, or 0 when the
// byte there does not start one (overlong forms and surrogates are invalid).
int DecodeUtf8(const unsigned char* text, const unsigned char* end, uint32_t* codePoint)
{
    const unsigned char lead = text[0];
    const int length = lead < 0x80 ? 1 : lead < 0xC2 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF5 ? 4 : 0;
    if (length == 0 || end - text < length) return 0;
    uint32_t value = length == 1 ? lead : lead & (0x7Fu >> length);
    for (int i = 1; i < length; ++i)
        if ((text[i] & 0xC0) != 0x80) return 0;
        else value = (value << 6) | (text[i] & 0x3F);
    if (Utf8Length(value) != length || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    *codePoint = value;
    return length;
}

int EncodeUtf8(uint32_t codePoint, char* out)
{
    static const unsigned char kLead[] = {0, 0, 0xC0, 0xE0, 0xF0};
    const int length = Utf8Length(codePoint);
    for (int i = length - 1; i > 0; --i, codePoint >>= 6) out[i] = static_cast<char>(0x80 | (codePoint & 0x3F));
    out[0] = static_cast<char>(kLead[length] | codePoint);
    return length;
}

// One device unit (two for a surrogate pair) of a name as host bytes into
// encoded; advances *unit past a pair's first half. Returns the byte count,
// or -1 when the unit has no host form.
int EncodeNameUnit(const WCHAR** unit, const WCHAR* end, char* encoded, bool* escaped)
{
    const WCHAR c = **unit;
    if (c >= 0xD800 && c <= 0xDBFF && *unit + 1 < end && (*unit)[1] >= 0xDC00 && (*unit)[1] <= 0xDFFF) {
        uint32_t codePoint = 0x10000 + ((static_cast<uint32_t>(c) - 0xD800) << 10) + ((*unit)[1] - 0xDC00);
        ++*unit;
        return EncodeUtf8(codePoint, encoded);
    }
    if (c >= 0xDC80 && c <= 0xDCFF) *escaped = true;
    if ((c >= 0xDC80 && c <= 0xDCFF) || (c >= 0xF000 && c <= 0xF0FF && IsForbiddenInName(c - 0xF000u))) {
        encoded[0] = static_cast<char>(c & 0xFF);
        return 1;
    }
    if ((c >= 0xD800 && c <= 0xDFFF) || c == 0 || IsForbiddenInName(c) || c == u'/') return -1;
    return EncodeUtf8(c, encoded);
}

} // namespace

// Host bytes to device units; '/' becomes '\'.
int HostNameToDevice(const char* hostName, WCHAR* out, int capacity)
{
    const unsigned char* text = reinterpret_cast<const unsigned char*>(hostName);
    const unsigned char* end = text + strlen(hostName);
    int units = 0;
    while (text < end) {
        uint32_t codePoint = 0;
        const int length = DecodeUtf8(text, end, &codePoint);
        const bool mapped = codePoint >= 0xF000 && codePoint <= 0xF0FF && IsForbiddenInName(codePoint - 0xF000);
        if (const int escapeBytes = length == 0 ? 1 : mapped ? length : 0) {
            if (units + escapeBytes >= capacity) return -1;
            for (int i = 0; i < escapeBytes; ++i) out[units++] = static_cast<WCHAR>(0xDC00 + text[i]);
            text += escapeBytes;
            continue;
        }
        text += length;
        if (codePoint == '/') codePoint = '\\';
        else if (IsForbiddenInName(codePoint)) codePoint += 0xF000;
        const int needed = codePoint >= 0x10000 ? 2 : 1;
        if (units + needed >= capacity) return -1;
        if (needed == 2) out[units++] = static_cast<WCHAR>(0xD800 + ((codePoint - 0x10000) >> 10));
        out[units++] = static_cast<WCHAR>(needed == 2 ? 0xDC00 + (codePoint & 0x3FF) : codePoint);
    }
    out[units] = 0;
    return units;
}

int HostNameFromDevice(const WCHAR* name, size_t units, char* hostName, int capacity)
{
    if (units == 0 || (name[0] == u'.' && (units == 1 || (units == 2 && name[1] == u'.')))) return -1;
    const WCHAR* end = name + units;
    int length = 0;
    bool escaped = false;
    for (const WCHAR* unit = name; unit < end; ++unit) {
        // Most names are plain ASCII: one byte each, nothing to decide.
        if (*unit > 0x20 && *unit < 0x7F && *unit != u'/' && !IsForbiddenInName(*unit)) {
            if (length + 1 >= capacity) return -1;
            hostName[length++] = static_cast<char>(*unit);
            continue;
        }
        char encoded[4];
        int encodedLength = EncodeNameUnit(&unit, end, encoded, &escaped);
        if (encodedLength < 0 || length + encodedLength >= capacity) return -1;
        memcpy(hostName + length, encoded, static_cast<size_t>(encodedLength));
        length += encodedLength;
    }
    hostName[length] = 0;
    if (!escaped) return length;
    // Escaped bytes are canonical only where the host decoding would escape
    // them too; otherwise two device names would share one host name.
    WCHAR again[MAX_PATH];
    if (HostNameToDevice(hostName, again, MAX_PATH) != static_cast<int>(units)) return -1;
    return memcmp(again, name, units * sizeof(WCHAR)) == 0 ? length : -1;
}

int HostPathFromDevice(const WCHAR* devicePath, char* hostPath, int capacity)
{
    const WCHAR* name = devicePath;
    while (IsSeparator(*name)) ++name;
    if (capacity < 1) return -1;
    int length = 0;
    for (hostPath[0] = 0; *name; name = *name ? name + 1 : name) {
        const WCHAR* end = name;
        while (*end && !IsSeparator(*end)) ++end;
        if (length > 0 && length + 1 >= capacity) return -1;
        if (length > 0) hostPath[length++] = '/';
        const int nameLength =
            HostNameFromDevice(name, static_cast<size_t>(end - name), hostPath + length, capacity - length);
        if (nameLength < 0 || (*end && !end[1])) return -1; // a trailing separator names nothing
        length += nameLength;
        name = end;
    }
    return length;
}
