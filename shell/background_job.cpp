// Worker thread start for the extraction job.
#include "shell/background_job.h"

#include <process.h>

void __cdecl JobThreadEntry(void* argument)
{
    BackgroundJob* job = static_cast<BackgroundJob*>(argument);
    job->function(job->argument);
    if (job->completionEvent != nullptr)
        SetEvent(job->completionEvent);
}

BackgroundJob* StartBackgroundJob(JobFunction function, void* argument)
{
    BackgroundJob* job = static_cast<BackgroundJob*>(HeapAlloc(GetProcessHeap(), 0, sizeof(BackgroundJob)));
    if (job == nullptr)
        return nullptr;
    job->function = function;
    job->completionEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    job->argument = argument;
    if (_beginthread(JobThreadEntry, 0, job) == static_cast<uintptr_t>(-1)) {
        // No thread holds the job, so it can go.
        if (job->completionEvent != nullptr)
            CloseHandle(job->completionEvent);
        HeapFree(GetProcessHeap(), 0, job);
        return nullptr;
    }
    return job;
}
