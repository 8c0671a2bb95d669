// Drawing quarn's progress line.
#include "tools/progress_display.h"

#include <unistd.h>

#include <cstdio>

using Clock = ProgressLine::Clock;

ProgressLine StartProgress()
{
    Clock::time_point now = Clock::now();
    return {isatty(STDERR_FILENO) == 1, false, now, now};
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
    if (status.stage == PackStage::Done) {
        // The last word, for a maker at a terminal; scripts get silence.
        ClearProgress(line);
        if (line->enabled)
            std::fprintf(stderr, "packed %.1f MB into %.1f MB in %.1f s, holding up to %.0f MB of memory\n",
                         Megabytes(status.total), Megabytes(status.done), Seconds(Clock::now() - line->start),
                         Megabytes(status.memoryBytes));
        return;
    }
    if (!ProgressDue(line))
        return;
    // Reading runs at most a few chunks ahead of the payload written, so
    // the chunks written tell how far the pack is.
    char text[128];
    std::snprintf(text, sizeof text, "packing %3d%%  %.0f/%.0f MB read  %llu/%llu chunks  %d %s  up to %.0f MB",
                  status.chunks == 0 ? 100 : static_cast<int>(status.chunksDone * 100 / status.chunks),
                  Megabytes(status.done), Megabytes(status.total), static_cast<unsigned long long>(status.chunksDone),
                  static_cast<unsigned long long>(status.chunks), status.threads,
                  status.threads == 1 ? "thread" : "threads", Megabytes(status.memoryBytes));
    std::fprintf(stderr, "\r%-77.77s", text);
    std::fflush(stderr);
}

void ShowExtractProgress(void* context, int percent)
{
    ProgressLine* line = static_cast<ProgressLine*>(context);
    if (ProgressDue(line))
        DrawProgress("extracting", percent, "");
}

