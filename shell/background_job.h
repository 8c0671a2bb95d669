// A function run once on a worker thread, with an event that is signalled
// when it has returned.
#pragma once

#include <windows.h>

using JobFunction = int (*)(void* argument);

struct BackgroundJob {
    JobFunction function;
    void* argument;
    HANDLE completionEvent;  // auto-reset, unnamed; null when it could not be made
};
static_assert(sizeof(BackgroundJob) == 3 * sizeof(void*), "three pointer-sized fields");

// Thread entry for _beginthread: runs the job's function, then signals its
// completion event.
void __cdecl JobThreadEntry(void* job);

// Allocates a job for function(argument) and starts its worker. Returns the
// job, which is never freed, or null when it could not be allocated or its
// thread could not be started.
BackgroundJob* StartBackgroundJob(JobFunction function, void* argument);
