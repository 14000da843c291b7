// The job state shared by the stages: one instance per process, zero from
// load. One job at a time; no lock.
#ifndef PELK_JOB_STATE_H
#define PELK_JOB_STATE_H

#include "PELK_UserMapCopy.h"
#include "Platform.h"

extern int32_t g_jobStatus;   // a JobStatus code; each stage returns at once while it is non-zero
extern uint16_t g_packageSum; // bytes of the copied package files, modulo 65536

// The entry routine. The platform's loader calls it; on the host nobody does.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);

#endif
