// The job's three stages and the pieces they share. Every stage returns at
// once while g_jobStatus is non-zero and reports failures only by storing a
// code there.
#ifndef PELK_TRANSFER_H
#define PELK_TRANSFER_H

#include <stddef.h>

#include "JobState.h"
#include "Platform.h"

static const WCHAR kTargetFolder[] = TEXT("MassStorage");
static const WCHAR kPackageFolder[] = TEXT("SDMMC\\PreDLMap");
static const WCHAR kChecksumFileName[] = TEXT("checksum.ini");
static const WCHAR kVersionFileName[] = TEXT("PreDLVerno.ini");

// Empties folder: deletes every file, removes every sub-folder, then tries to
// remove folder itself (for the target folder a failure there is no error).
// A file that cannot be deleted stores STATUS_DELETE_FAILED, a folder that
// cannot be removed STATUS_REMOVE_DIR_FAILED.
void ClearTree(const WCHAR* folder);

// Copies the tree below source into destination, creating its folders, and
// adds the bytes of each copied file (read back from the copy) to
// g_packageSum, except for checksum.ini and PreDLVerno.ini.
void CopyTree(const WCHAR* destination, const WCHAR* source);

// The sum, modulo 65536, of the bytes of the file at path; 0 when it cannot
// be opened.
uint16_t SumFileBytes(const WCHAR* path);

// Adds count bytes starting at words to sum, modulo 65536.
uint16_t AddBytesToSum(uint16_t sum, const uint32_t* words, size_t count);

// True for a file whose bytes count in the package sum: every name but
// checksum.ini and PreDLVerno.ini, in any letter case.
bool IsSummedFileName(const WCHAR* name);

// Reads the number in "SDMMC\PreDLMap\<name>" and stores
// STATUS_CHECKSUM_FAILED when the file cannot be opened or the number's low
// 16 bits differ from g_packageSum.
void VerifyChecksum(const WCHAR* name);

// The checksum file's number: the first token read as "%x" reads it (leading
// white space, an optional sign, an optional 0x or 0X, hexadecimal digits)
// into an unsigned 32-bit value, modulo 2^32; no digits give 0. The scan
// takes the text in pieces of any size.
struct ChecksumScan {
    uint32_t value;
    uint8_t phase;
    uint8_t negative;
};
bool IsScanSpace(unsigned char c); // the white space the scan skips before the token
void BeginChecksumScan(ChecksumScan* scan);
bool ScanChecksumText(ChecksumScan* scan, const unsigned char* text, size_t length); // true once the token ended
uint32_t ChecksumScanValue(const ChecksumScan* scan);
uint32_t ParseChecksumNumber(const unsigned char* text, size_t length);
uint32_t ReadChecksumNumber(FILE* file);

// Reads the number in the checksum file at path; false when the file cannot
// be opened or a read fails.
bool ReadChecksumFile(const WCHAR* path, uint32_t* value);

#endif
