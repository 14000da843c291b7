/*
 * PELK_UserMapCopy - installs the map package from the memory card.
 *
 * PELK_UserMapCopy_CopyFiles() empties "MassStorage", copies the package
 * tree "SDMMC\PreDLMap" into it, adds up the bytes of the copied files into
 * a 16-bit package sum and compares it with the number in the package's
 * "checksum.ini". It returns one JobStatus code.
 *
 * GetMapCopyPath() returns "\Windows\Pelk_MapCopy.exe", the path of the
 * map-copy application. The string is static: same pointer on every call,
 * not to be written or freed.
 *
 * Both functions run on the caller's thread. One job at a time per process.
 */
#ifndef PELK_USERMAPCOPY_H
#define PELK_USERMAPCOPY_H

/* The Windows CE 5.0 SDKs' compilers (Visual C++ before 2010) have no
   <stdint.h>; the fixed-size types are their built-in ones. */
#if defined(_MSC_VER) && _MSC_VER < 1600
typedef signed __int32 int32_t;
typedef unsigned __int8 uint8_t;
typedef unsigned __int16 uint16_t;
typedef unsigned __int32 uint32_t;
#else
#  include <stdint.h>
#endif

#if defined(_WIN32)
#  include <wchar.h>
#  define PELK_CALL __stdcall
#  define PELK_EXPORT
typedef wchar_t PELK_WCHAR;
#else
#  if !defined(__cplusplus)
#    include <uchar.h>
#  endif
#  define PELK_CALL
#  if defined(__GNUC__)
#    define PELK_EXPORT __attribute__((visibility("default")))
#  else
#    define PELK_EXPORT
#  endif
typedef char16_t PELK_WCHAR; /* UTF-16, as on the device */
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef enum JobStatus {
    STATUS_OK = 0,                /* target emptied, package copied, sum confirmed */
    STATUS_DELETE_FAILED = 1,     /* a file in the target tree could not be deleted */
    STATUS_REMOVE_DIR_FAILED = 2, /* a folder below the target folder could not be removed */
    STATUS_CREATE_DIR_FAILED = 3, /* a folder below the target folder could not be created */
    STATUS_SOURCE_MISSING = 4,    /* a source folder of the package does not exist */
    STATUS_COPY_FAILED = 5,       /* a package file could not be copied */
    STATUS_CHECKSUM_FAILED = 6    /* checksum.ini unreadable, or its number differs from the sum */
} JobStatus;

PELK_EXPORT const PELK_WCHAR* PELK_CALL GetMapCopyPath(void);
PELK_EXPORT int32_t PELK_CALL PELK_UserMapCopy_CopyFiles(void);

#ifdef __cplusplus
}
#endif

#endif /* PELK_USERMAPCOPY_H */
