// Lossless conversion between device names (UTF-16) and host names (bytes,
// normally UTF-8).
//
// Host to device: valid UTF-8 decodes as usual; a byte that does not start a
// valid sequence becomes the lone surrogate U+DC00 + byte; a character that
// Win32 forbids in names becomes U+F000 + character. A host name that holds
// such a private-use character itself keeps it as escaped bytes, so that no
// two host names share a device name.
//
// Device to host is the inverse; a device path that is not the image of some
// host path (an unpaired surrogate other than an escaped byte, escaped bytes
// that would decode differently, a raw forbidden character, "." or "..")
// has no host form and fails.
#include "HostFileLayer.h"

#include <string.h>

namespace {

bool IsForbiddenInName(uint32_t c)
{
    return (c >= 1 && c < 0x20) || c == '"' || c == '*' || c == ':' || c == '<' || c == '>' || c == '?' ||
           c == '\\' || c == '|';
}

bool IsSeparator(WCHAR c) { return c == u'\\' || c == u'/'; }

// The lengths of the sequences UTF-8 allows, by the value they encode.
int Utf8Length(uint32_t codePoint) { return codePoint < 0x80 ? 1 : codePoint < 0x800 ? 2 : codePoint < 0x10000 ? 3 : 4; }

// Decodes one valid UTF-8 sequence at text; returns its length, or 0 when the
// byte there does not start one (overlong forms and surrogates are invalid).
int DecodeUtf8(const unsigned char* text, const unsigned char* end, uint32_t* codePoint)
{
    const unsigned char lead = text[0];
    const int length = lead < 0x80 ? 1 : lead < 0xC2 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF5 ? 4 : 0;
    if (length == 0 || end - text < length) return 0;
    uint32_t value = length == 1 ? lead : lead & (0x7Fu >> length);
    for (int i = 1; i < length; ++i) {
        if ((text[i] & 0xC0) != 0x80) return 0;
        value = (value << 6) | (text[i] & 0x3F);
    }
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

// Host bytes [text, end) to device units; '/' becomes '\'. Returns the
// number of units, or -1 when they and the terminator do not fit in capacity.
int HostBytesToDevice(const unsigned char* text, const unsigned char* end, WCHAR* out, int capacity)
{
    int units = 0;
    while (text < end) {
        uint32_t codePoint = 0;
        int length = DecodeUtf8(text, end, &codePoint);
        int escapeBytes = 0;
        if (length == 0) {
            escapeBytes = 1;
        } else if (codePoint >= 0xF000 && codePoint <= 0xF0FF && IsForbiddenInName(codePoint - 0xF000)) {
            escapeBytes = length;
        }
        if (escapeBytes) {
            if (units + escapeBytes >= capacity) return -1;
            for (int i = 0; i < escapeBytes; ++i) out[units++] = static_cast<WCHAR>(0xDC00 + text[i]);
            text += escapeBytes;
            continue;
        }
        text += length;
        if (codePoint == '/') {
            codePoint = '\\';
        } else if (IsForbiddenInName(codePoint)) {
            codePoint += 0xF000;
        }
        const int needed = codePoint >= 0x10000 ? 2 : 1;
        if (units + needed >= capacity) return -1;
        if (needed == 2) {
            codePoint -= 0x10000;
            out[units++] = static_cast<WCHAR>(0xD800 + (codePoint >> 10));
            out[units++] = static_cast<WCHAR>(0xDC00 + (codePoint & 0x3FF));
        } else {
            out[units++] = static_cast<WCHAR>(codePoint);
        }
    }
    out[units] = 0;
    return units;
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
    if (c >= 0xDC80 && c <= 0xDCFF) {
        encoded[0] = static_cast<char>(c - 0xDC00);
        *escaped = true;
        return 1;
    }
    if ((c >= 0xD800 && c <= 0xDFFF) || c == 0 || IsForbiddenInName(c) || c == u'/') return -1;
    if (c >= 0xF000 && c <= 0xF0FF && IsForbiddenInName(c - 0xF000u)) {
        encoded[0] = static_cast<char>(c - 0xF000);
        return 1;
    }
    return EncodeUtf8(c, encoded);
}

bool IsDotName(const WCHAR* name, size_t units)
{
    return (units == 1 && name[0] == u'.') || (units == 2 && name[0] == u'.' && name[1] == u'.');
}

} // namespace

int HostNameToDevice(const char* hostName, WCHAR* deviceName, int capacity)
{
    const unsigned char* text = reinterpret_cast<const unsigned char*>(hostName);
    return HostBytesToDevice(text, text + strlen(hostName), deviceName, capacity);
}

int HostNameFromDevice(const WCHAR* name, size_t units, char* hostName, int capacity)
{
    if (units == 0 || IsDotName(name, units)) return -1;
    const WCHAR* end = name + units;
    int length = 0;
    bool escaped = false;
    for (const WCHAR* unit = name; unit < end; ++unit) {
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
    hostPath[0] = 0;
    int length = 0;
    while (*name) {
        const WCHAR* end = name;
        while (*end && !IsSeparator(*end)) ++end;
        if (length > 0) {
            if (length + 1 >= capacity) return -1;
            hostPath[length++] = '/';
        }
        const int nameLength =
            HostNameFromDevice(name, static_cast<size_t>(end - name), hostPath + length, capacity - length);
        if (nameLength < 0) return -1;
        length += nameLength;
        name = *end ? end + 1 : end;
        if (*end && !*name) return -1; // a trailing separator names nothing
    }
    return length;
}
