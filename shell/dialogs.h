// The installer's four dialogs: IDD_INSTALL, IDD_SUCCESS and IDD_FAIL served
// by ButtonDialogProc, and IDD_PROGRESS, which runs the extraction on a
// worker thread while its bar moves.
#pragma once

#include <windows.h>

// The module whose resources hold the dialog templates; set by the entry.
extern HINSTANCE g_instance;

// IDOK ends the dialog with 0, IDCANCEL (also Esc and the close box) with -1.
INT_PTR CALLBACK ButtonDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Starts the extraction worker when the dialog opens. Ends with 0 when the
// extraction stops cleanly, 1 when it stops with a stop reason, -1 on Cancel
// or when the worker cannot be started. Both shared window handles are null
// before the dialog ends, whichever way.
INT_PTR CALLBACK ProgressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Runs the dialog template of that (ASCII) name modally with no owner, as a
// Unicode window; -1 also when it cannot be created.
INT_PTR RunDialog(const char* name, DLGPROC procedure);

// Registers the progress-bar class, then runs IDD_PROGRESS.
INT_PTR RunProgressDialog();

// Waits at most milliseconds for the latest extraction job's worker to
// finish. True when it has finished or none was started. Once per run: the
// job's event resets when a wait returns.
bool WaitForExtractionJob(DWORD milliseconds);
