#include "Preflight.h"

#include <algorithm>
#include <cctype>
#include <cerrno>

#include "Words.h"
#include "Transfer.h"
#include "TreePath.h"

namespace tool {

namespace {

// UTF-16 without a byte-order mark: each character of ASCII text beside a
// zero byte, in either order. Zero bytes alone (leading NULs) are not text.
bool LooksLikeUtf16(const std::string& bytes)
{
    for (size_t zero : {0, 1}) {
        size_t characters = 0;
        bool alternates = true;
        for (size_t i = 0; alternates && i + 1 < bytes.size(); i += 2) {
            const unsigned char high = static_cast<unsigned char>(bytes[i + zero]);
            const unsigned char low = static_cast<unsigned char>(bytes[i + 1 - zero]);
            if (high == 0 && low == 0 && characters > 0) break; // a terminator after the text
            alternates = high == 0 && low != 0 && low < 0x80;
            characters += alternates ? 1 : 0;
        }
        if (alternates && characters > 0) return true;
    }
    return false;
}

size_t LeadingNuls(const std::string& bytes)
{
    const size_t text = bytes.find_first_not_of('\0');
    return text == std::string::npos ? bytes.size() : text;
}

// Why a file holding no number the device can read holds none.
ChecksumKind WhyNoNumber(const std::string& bytes)
{
    if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) return ChecksumKind::Utf8Mark;
    if (bytes.compare(0, 2, "\xFF\xFE") == 0 || bytes.compare(0, 2, "\xFE\xFF") == 0) return ChecksumKind::Utf16Marked;
    if (LooksLikeUtf16(bytes)) return ChecksumKind::Utf16;
    if (LeadingNuls(bytes) > 0) return ChecksumKind::LeadingNuls;
    for (char c : bytes)
        if (!IsScanSpace(static_cast<unsigned char>(c))) return ChecksumKind::Text;
    return ChecksumKind::Empty;
}

// Reads the bytes one at a time with the library's own scanner, to find
// where the device's reading of the number stops.
void FindTheStop(const std::string& bytes, ChecksumReading* reading)
{
    ChecksumScan scan;
    BeginChecksumScan(&scan);
    long start = -1;
    for (size_t i = 0; i < bytes.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (ScanChecksumText(&scan, &c, 1)) {
            reading->stoppedAt = static_cast<long>(i);
            reading->stopByte = c;
            break;
        }
        if (start < 0 && !IsScanSpace(c)) start = static_cast<long>(i);
    }
    if (start >= 0) {
        const long end = reading->stoppedAt >= 0 ? reading->stoppedAt : static_cast<long>(bytes.size());
        reading->number = bytes.substr(static_cast<size_t>(start), static_cast<size_t>(end - start));
    }
}

std::string ShownByte(int byte)
{
    char text[16];
    if (byte == 0) return "a zero byte";
    if (byte >= 0x21 && byte < 0x7F) snprintf(text, sizeof text, "\"%c\"", byte);
    else snprintf(text, sizeof text, "byte 0x%02X", static_cast<unsigned>(byte));
    return text;
}

// Where the reading stopped, when it stopped at anything but white space or
// the end; empty otherwise.
std::string WhereItStops(const ChecksumReading& reading)
{
    if (reading.stoppedAt < 0 || IsScanSpace(static_cast<unsigned char>(reading.stopByte))) return std::string();
    return "the device reads \"" + reading.number + "\" and stops at " + ShownByte(reading.stopByte) + ", byte " +
           std::to_string(reading.stoppedAt + 1) + " of the file, so it reads nothing after it";
}

} // namespace

ChecksumReading ReadChecksum(const DeviceString& folder)
{
    ChecksumReading reading;
    const DeviceString path = folder.empty() ? DeviceString(kChecksumFileName)
                                             : folder + TEXT('\\') + kChecksumFileName;
    WIN32_FIND_DATAW record;
    HANDLE probe = FindFirstFileW(path.c_str(), &record);
    if (probe == INVALID_HANDLE_VALUE) return reading;
    FindClose(probe);
    reading.kind = ChecksumKind::Folder;
    if (IsFolderEntry(&record)) return reading;
    errno = 0;
    FILE* file = _wfopen(path.c_str(), TEXT("rb"));
    if (!file || !ReadPackageChecksum(folder, &reading.value)) {
        reading.kind = ChecksumKind::Unreadable;
        reading.detail = LastErrorText();
        if (file) fclose(file);
        return reading;
    }
    char head[256];
    const std::string bytes(head, fread(head, 1, sizeof head, file));
    fclose(file);
    FindTheStop(bytes, &reading);
    const bool digits = std::any_of(reading.number.begin(), reading.number.end(),
                                    [](char c) { return isxdigit(static_cast<unsigned char>(c)) != 0; });
    reading.kind = digits && !LooksLikeUtf16(bytes) ? ChecksumKind::Number : WhyNoNumber(bytes);
    if (reading.kind == ChecksumKind::Text) {
        const size_t line = bytes.find_first_of("\r\n");
        reading.detail = bytes.substr(0, line == std::string::npos ? 16 : std::min<size_t>(line, 16));
    }
    if (reading.kind == ChecksumKind::LeadingNuls) {
        const size_t nuls = LeadingNuls(bytes);
        // Only the head is read: a head of nothing but NULs may go on.
        const bool more = nuls == sizeof head;
        reading.detail = nuls == bytes.size() && !more
                             ? "it holds nothing but " + Plural(nuls, "NUL byte", "NUL bytes")
                             : "it begins with " + std::string(more ? "at least " : "") +
                                   Plural(nuls, "NUL byte", "NUL bytes") + ", where the device stops reading";
    }
    return reading;
}

std::string ChecksumLine(const ChecksumReading& reading, const std::string& sealWith)
{
    const std::string noNumber = "checksum.ini holds no number the device can read: ";
    const std::string reads = "; the device reads " + (reading.value ? Hex(reading.value) : std::string("0")) +
                              (sealWith.empty() ? std::string()
                                                : " (pelk-mapcopy seal " + sealWith + " writes the sum)");
    switch (reading.kind) {
    case ChecksumKind::Number: {
        const std::string stops = WhereItStops(reading);
        return "checksum.ini " + Hex(reading.value) + " (low 16 bits " + Hex(static_cast<uint16_t>(reading.value)) +
               ")" + (stops.empty() ? std::string() : ": " + stops);
    }
    case ChecksumKind::Missing:
        return "checksum.ini missing: the device's job would end with " + StatusName(STATUS_CHECKSUM_FAILED) +
               (sealWith.empty() ? std::string() : "; run pelk-mapcopy seal " + sealWith + " to write it");
    case ChecksumKind::Folder:
        return "checksum.ini is a folder, not a file: the device cannot open it";
    case ChecksumKind::Unreadable:
        return "checksum.ini cannot be read (" + reading.detail + ")";
    case ChecksumKind::Empty:
        return noNumber + "it is empty" + reads;
    case ChecksumKind::Utf8Mark:
        return noNumber + "it begins with a UTF-8 byte-order mark, as Notepad writes it" + reads;
    case ChecksumKind::Utf16Marked:
        return noNumber + "it is UTF-16 text with a byte-order mark, where the device reads 8-bit text" + reads;
    case ChecksumKind::Utf16: {
        const std::string stops = WhereItStops(reading);
        return noNumber + "it is UTF-16 text without a byte-order mark, where the device reads 8-bit text" +
               (stops.empty() ? std::string() : " (" + stops + ")") + reads;
    }
    case ChecksumKind::Text:
        return noNumber + "it begins with \"" + reading.detail + "\", not a hexadecimal number" + reads;
    case ChecksumKind::LeadingNuls:
        return noNumber + reading.detail + reads;
    }
    return std::string();
}

namespace {

bool OpensAsTheDeviceDoes(const ChecksumReading& reading)
{
    return reading.kind != ChecksumKind::Missing && reading.kind != ChecksumKind::Folder &&
           reading.kind != ChecksumKind::Unreadable;
}

} // namespace

Preflight PredictJob(const DeviceString& folder, const FileReader& reader)
{
    Preflight preflight;
    preflight.checksum = ReadChecksum(folder);
    preflight.check = CheckPackage(folder, reader);
    preflight.verdict = WorstFinding(preflight.check);
    if (preflight.verdict == 0 && (!OpensAsTheDeviceDoes(preflight.checksum) ||
                                   static_cast<uint16_t>(preflight.checksum.value) != preflight.check.sum))
        preflight.verdict = STATUS_CHECKSUM_FAILED;
    return preflight;
}

void PrintFindings(FILE* stream, const PackageCheck& check)
{
    for (const Finding& finding : check.findings) fprintf(stream, "%s\n", finding.text.c_str());
}

void PrintPreflight(FILE* stream, const Preflight& preflight, const std::string& sealWith)
{
    const PackageCheck& check = preflight.check;
    fprintf(stream, "%s\n", ChecksumLine(preflight.checksum, sealWith).c_str());
    fprintf(stream, "package sum  %s over %s\n%s", Hex(check.sum).c_str(),
            Plural(check.summedFiles, "file", "files").c_str(),
            NotSummed(check.otherFiles, check.otherBelowTheRoot).c_str());
    PrintFindings(stream, check);
}

std::string VerdictLine(int verdict)
{
    if (verdict == kExitNotForACard) return "NOT FOR A CARD: this package cannot go on a card as it stands";
    if (verdict == STATUS_CHECKSUM_FAILED)
        return "MISMATCH: the device's job would end with " + StatusName(STATUS_CHECKSUM_FAILED);
    if (verdict != 0) return "FAIL: the device's job would end with " + StatusName(verdict);
    return "match: the device will accept this package";
}

std::string ResealHint(const Preflight& preflight, const std::string& sealWith)
{
    if (preflight.verdict != STATUS_CHECKSUM_FAILED || preflight.checksum.kind != ChecksumKind::Number)
        return std::string();
    return "if the package was changed on purpose, pelk-mapcopy seal " + sealWith +
           " writes its new sum; else a file changed since it was sealed";
}

} // namespace tool
