#include "Transfer.h"
#include "TreePath.h"

enum ScanPhase {
    SCAN_SPACE,  // white space before the token
    SCAN_SIGN,   // after "+" or "-"
    SCAN_ZERO,   // after a leading "0": an "x" may follow
    SCAN_PREFIX, // after "0x": digits must follow
    SCAN_DIGITS,
    SCAN_DONE
};

static int HexDigitValue(unsigned char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool IsScanSpace(unsigned char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

void BeginChecksumScan(ChecksumScan* scan)
{
    scan->value = 0;
    scan->phase = SCAN_SPACE;
    scan->negative = 0;
}

bool ScanChecksumText(ChecksumScan* scan, const unsigned char* text, size_t length)
{
    for (size_t i = 0; i < length && scan->phase != SCAN_DONE; ++i) {
        const unsigned char c = text[i];
        const int digit = HexDigitValue(c);
        switch (scan->phase) {
        case SCAN_SPACE:
            if (IsScanSpace(c)) break;
            if (c == '+' || c == '-') {
                scan->negative = c == '-';
                scan->phase = SCAN_SIGN;
                break;
            }
            // fall through - the token starts here
        case SCAN_SIGN:
            if (digit < 0) scan->phase = SCAN_DONE;
            else {
                scan->value = static_cast<uint32_t>(digit);
                scan->phase = digit == 0 ? SCAN_ZERO : SCAN_DIGITS;
            }
            break;
        case SCAN_ZERO:
            if (c == 'x' || c == 'X') scan->phase = SCAN_PREFIX;
            else if (digit < 0) scan->phase = SCAN_DONE;
            else {
                scan->value = static_cast<uint32_t>(digit);
                scan->phase = SCAN_DIGITS;
            }
            break;
        case SCAN_PREFIX:
        case SCAN_DIGITS:
            if (digit < 0) scan->phase = SCAN_DONE;
            else {
                scan->value = (scan->value << 4) | static_cast<uint32_t>(digit); // keeps the low 32 bits
                scan->phase = SCAN_DIGITS;
            }
            break;
        }
    }
    return scan->phase == SCAN_DONE;
}

uint32_t ChecksumScanValue(const ChecksumScan* scan)
{
    return scan->negative ? 0u - scan->value : scan->value;
}

uint32_t ParseChecksumNumber(const unsigned char* text, size_t length)
{
    ChecksumScan scan;
    BeginChecksumScan(&scan);
    ScanChecksumText(&scan, text, length);
    return ChecksumScanValue(&scan);
}

uint32_t ReadChecksumNumber(FILE* file)
{
    ChecksumScan scan;
    BeginChecksumScan(&scan);
    unsigned char piece[64];
    size_t got;
    do {
        got = fread(piece, 1, sizeof piece, file);
    } while (!ScanChecksumText(&scan, piece, got) && got == sizeof piece);
    return ChecksumScanValue(&scan);
}

bool ReadChecksumFile(const WCHAR* path, uint32_t* value)
{
    FILE* file = _wfopen(path, TEXT("rb"));
    if (!file) return false;
    *value = ReadChecksumNumber(file);
    // A read error is no end of file: the number may be cut short, and with
    // every read failing both it and the sum would come out 0 and match.
    const bool readable = ferror(file) == 0;
    fclose(file);
    return readable;
}

void VerifyChecksum(const WCHAR* name)
{
    if (g_jobStatus != STATUS_OK) return;
    uint32_t value = 0;
    TreePath path;
    // Read from the package on the card, not from its copy.
    if (!SetTreePath(&path, kPackageFolder) || !AppendTreeName(&path, name) || !ReadChecksumFile(path.text, &value) ||
        static_cast<uint16_t>(value) != g_packageSum)
        g_jobStatus = STATUS_CHECKSUM_FAILED;
}
