// Drawing quarn's progress line.
#include "tools/progress_display.h"

#include <unistd.h>

#include <cstdio>

using Clock = ProgressLine::Clock;

ProgressLine StartProgress()
{
    Clock::time_point now = Clock::now();
    return {isatty(STDERR_FILENO) == 1, false, false, now, now, now};
}

// Redraws at most ten times a second, and not at all for the first quarter
// second, so quick runs stay quiet.
static bool ProgressDue(ProgressLine* line)
{
    if (!line->enabled)
        return false;
    Clock::time_point now = Clock::now();
    if (now - line->start < std::chrono::milliseconds(250) || now - line->lastDraw < std::chrono::milliseconds(100))
        return false;
    line->lastDraw = now;
    line->drawn = true;
    return true;
}

static void DrawProgress(const char* verb, int percent, const char* detail)
{
    char bar[21];
    for (int i = 0; i < 20; ++i)
        bar[i] = i < percent / 5 ? '#' : '.';
    bar[20] = '\0';
    std::fprintf(stderr, "\r%s [%s] %3d%% %s", verb, bar, percent, detail);
    std::fflush(stderr);
}

void ClearProgress(ProgressLine* line)
{
    if (line->drawn)
        std::fprintf(stderr, "\r%*s\r", 78, "");
    line->drawn = false;
}

static double Megabytes(uint64_t bytes) { return static_cast<double>(bytes) / 1e6; }

static double Seconds(Clock::duration elapsed) { return std::chrono::duration<double>(elapsed).count(); }

void ShowPackProgress(void* context, const PackStatus& status)
{
    ProgressLine* line = static_cast<ProgressLine*>(context);
    char detail[96];
    if (status.stage == PackStage::Done) {
        // The last word, for a maker at a terminal; scripts get silence.
        ClearProgress(line);
        if (line->enabled)
            std::fprintf(stderr, "packed %.1f MB into %.1f MB in %.1f s, holding up to %.0f MB of memory\n",
                         Megabytes(status.total), Megabytes(status.done), Seconds(Clock::now() - line->start),
                         Megabytes(status.memoryBytes));
        return;
    }
    if (status.stage == PackStage::Compressing && !line->compressing) {
        line->compressing = true;
        line->stageStart = Clock::now();
    }
    if (!ProgressDue(line))
        return;
    if (status.stage == PackStage::Reading) {
        std::snprintf(detail, sizeof detail, "%.1f / %.1f MB", Megabytes(status.done), Megabytes(status.total));
        DrawProgress("reading    ", status.total == 0 ? 100 : static_cast<int>(status.done * 100 / status.total),
                     detail);
    } else {
        const double seconds = Seconds(Clock::now() - line->stageStart);
        std::snprintf(detail, sizeof detail, "compressing %3d%%  %llu/%llu chunks  %.1f MB/s  %d %s  up to %.0f MB",
                      status.chunks == 0 ? 100 : static_cast<int>(status.chunksDone * 100 / status.chunks),
                      static_cast<unsigned long long>(status.chunksDone), static_cast<unsigned long long>(status.chunks),
                      seconds > 0 ? Megabytes(status.done) / seconds : 0.0, status.threads,
                      status.threads == 1 ? "thread" : "threads", Megabytes(status.memoryBytes));
        std::fprintf(stderr, "\r%-77s", detail);
        std::fflush(stderr);
    }
}

void ShowExtractProgress(void* context, int percent)
{
    ProgressLine* line = static_cast<ProgressLine*>(context);
    if (ProgressDue(line))
        DrawProgress("extracting", percent, "");
}

