// The progress dialog's window and its bar's window, shared between the
// dialog thread, which sets and clears them, and the extraction worker, which
// sends to them. A sender reads a handle once and skips a null one.
#pragma once

#include <atomic>

#include "platform/platform.h"

// Sent by the extractor to the progress dialog when a run stops; both
// parameters 0.
constexpr unsigned WM_EXTRACT_DONE = 0x8000;
// The progress bar's set-position message; wParam is the position.
constexpr unsigned kProgressSetPos = 0x0402;

extern std::atomic<WindowHandle> g_progressDialog;
extern std::atomic<WindowHandle> g_progressBar;
