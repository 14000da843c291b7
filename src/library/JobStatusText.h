/*
 * The name and meaning of each JobStatus code, for whoever reports a job's
 * result. Indexed by the code; C-compatible.
 */
#ifndef PELK_JOB_STATUS_TEXT_H
#define PELK_JOB_STATUS_TEXT_H

#include "PELK_UserMapCopy.h"

struct JobStatusText {
    int32_t code;
    const char* name;
    const char* sentence;
};

#define PELK_STATUS_TEXT(code, sentence) { code, #code, sentence }

static const struct JobStatusText kJobStatusTexts[] = {
    PELK_STATUS_TEXT(STATUS_OK, "the package was installed and its sum matches checksum.ini"),
    PELK_STATUS_TEXT(STATUS_DELETE_FAILED, "a file in MassStorage could not be deleted"),
    PELK_STATUS_TEXT(STATUS_REMOVE_DIR_FAILED, "a folder below MassStorage could not be removed"),
    PELK_STATUS_TEXT(STATUS_CREATE_DIR_FAILED, "a folder below MassStorage could not be created"),
    PELK_STATUS_TEXT(STATUS_SOURCE_MISSING, "a package folder is missing"),
    PELK_STATUS_TEXT(STATUS_COPY_FAILED, "a package file could not be copied"),
    PELK_STATUS_TEXT(STATUS_CHECKSUM_FAILED, "checksum.ini is missing or its number differs from the package sum")
};

#undef PELK_STATUS_TEXT

/* One row per code, in order: a new code without its row fails to compile. */
typedef char PelkStatusTextsComplete
    [sizeof kJobStatusTexts / sizeof kJobStatusTexts[0] == STATUS_CHECKSUM_FAILED + 1 ? 1 : -1];

#endif
