// Dialog procedures and the progress dialog's worker.
#include "shell/dialogs.h"

#include <commctrl.h>

#include "payload/archive_extractor.h"
#include "payload/progress_window.h"
#include "resources/resource_ids.h"
#include "shell/background_job.h"

static_assert(WM_EXTRACT_DONE == WM_APP, "the end notification is the first private message");
static_assert(kProgressSetPos == PBM_SETPOS, "the payload reader moves the bar with PBM_SETPOS");

HINSTANCE g_instance = nullptr;

namespace {
BackgroundJob* g_extractionJob = nullptr;

// After this no progress and no end notification reaches the dialog, which
// is about to be destroyed.
void ForgetProgressWindows()
{
    g_progressBar.store(nullptr);
    g_progressDialog.store(nullptr);
}
}  // namespace

INT_PTR CALLBACK ButtonDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    (void)lParam;
    if (message != WM_COMMAND)
        return FALSE;
    switch (LOWORD(wParam)) {
    case IDOK:
        EndDialog(dialog, 0);
        break;
    case IDCANCEL:
        EndDialog(dialog, -1);
        break;
    }
    return TRUE;
}

INT_PTR CALLBACK ProgressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    (void)lParam;
    switch (message) {
    case WM_INITDIALOG:
        g_progressDialog.store(dialog);
        g_progressBar.store(GetDlgItem(dialog, IDC_PROGRESS));
        ResetExtractStop();
        g_extractionJob = StartBackgroundJob(ExtractArchive, nullptr);
        if (g_extractionJob == nullptr) {
            ForgetProgressWindows();
            EndDialog(dialog, -1);
        }
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDCANCEL) {
            RequestExtractStop();
            ForgetProgressWindows();
            EndDialog(dialog, -1);
        }
        return TRUE;
    case WM_EXTRACT_DONE:
        ForgetProgressWindows();
        EndDialog(dialog, LastExtractStopReason() == nullptr ? 0 : 1);
        return FALSE;
    }
    return FALSE;
}

// The wide call: the texts of the templates are UTF-16, and a dialog made by
// the 8-bit call shows them in the player's code page, which may lack the
// product's letters.
INT_PTR RunDialog(const char* name, DLGPROC procedure)
{
    wchar_t wideName[32];
    int i = 0;
    for (; name[i] != '\0'; ++i) {
        if (i == 31)
            return -1;
        wideName[i] = static_cast<unsigned char>(name[i]);
    }
    wideName[i] = 0;
    return DialogBoxParamW(g_instance, wideName, nullptr, procedure, 0);
}

INT_PTR RunProgressDialog()
{
    INITCOMMONCONTROLSEX classes = {sizeof(classes), ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&classes);
    return RunDialog("IDD_PROGRESS", ProgressDialogProc);
}

bool WaitForExtractionJob(DWORD milliseconds)
{
    if (g_extractionJob == nullptr || g_extractionJob->completionEvent == nullptr)
        return true;
    return WaitForSingleObject(g_extractionJob->completionEvent, milliseconds) == WAIT_OBJECT_0;
}
