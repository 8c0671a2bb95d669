// quarn's progress on a terminal: one line on stderr, redrawn at most ten
// times a second while a pack or an extraction runs, and nothing at all when
// stderr is not a terminal, so scripts get silence.
#pragma once

#include <chrono>

#include "tools/folder_packer.h"

struct ProgressLine {
    using Clock = std::chrono::steady_clock;
    bool enabled;  // stderr is a terminal
    bool drawn;
    Clock::time_point start;
    Clock::time_point lastDraw;
};

// A line for a run that starts now.
ProgressLine StartProgress();

// Wipes the line, when anything was drawn, so the next output starts clean.
void ClearProgress(ProgressLine* line);

// A PackProgress: context is the ProgressLine. At the end it prints one line
// of what the pack took.
void ShowPackProgress(void* context, const PackStatus& status);

// A PayloadProgress: context is the ProgressLine.
void ShowExtractProgress(void* context, int percent);
