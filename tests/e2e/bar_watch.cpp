// The bar watch: loaded into the installer by the driver's hook, it notes
// each position the progress bar takes (see bar_watch.h). Built without a C
// runtime, so that it loads no DLL the installer has not loaded already.
#include "tests/e2e/bar_watch.h"

#include <commctrl.h>

namespace {

BarRecord* g_record = nullptr;

BarRecord* Record()
{
    if (g_record == nullptr) {
        char name[32];
        BarRecordName(GetCurrentProcessId(), name);
        HANDLE mapping = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, name);
        if (mapping != nullptr)
            g_record = static_cast<BarRecord*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(BarRecord)));
    }
    return g_record;
}

// Lets the driver read the dialog (its messages are sent ones) while the
// worker waits for this position to be taken. The first position can come
// before the modal loop's first idle moment, which is when it shows the
// dialog; it is shown here instead.
void HoldUntilReleased(BarRecord* record, HWND dialog)
{
    if (!IsWindowVisible(dialog))
        ShowWindow(dialog, SW_SHOWNORMAL);
    UpdateWindow(dialog);
    DWORD start = GetTickCount();
    while (!record->released && GetTickCount() - start < 60000) {
        MSG message;
        PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_SENDMESSAGE);
    }
}

void Note(HWND bar, int asked)
{
    char className[32];
    if (GetClassNameA(bar, className, sizeof(className)) == 0 || lstrcmpiA(className, PROGRESS_CLASSA) != 0)
        return;
    BarRecord* record = Record();
    if (record == nullptr)
        return;
    LONG position = static_cast<LONG>(SendMessageW(bar, PBM_GETPOS, 0, 0));
    if (asked < 0 || asked > 100)
        ++record->outOfRange;
    if (record->count == 0) {
        record->first = record->min = record->max = position;
    } else {
        if (position < record->last)
            record->wentDown = 1;
        if (position < record->min)
            record->min = position;
        if (position > record->max)
            record->max = position;
    }
    record->last = position;
    ++record->count;
    if (record->count == 1 && record->hold)
        HoldUntilReleased(record, GetParent(bar));
    // Pressed here, the button is handled before the worker reads on.
    if (record->cancelAt >= 0 && record->cancelledAt < 0 && position >= record->cancelAt) {
        record->cancelledAt = position;
        SendMessageW(GetDlgItem(GetParent(bar), IDCANCEL), BM_CLICK, 0, 0);
    }
}

}  // namespace

extern "C" __declspec(dllexport) LRESULT CALLBACK BarWatchHook(int code, WPARAM wParam, LPARAM lParam)
{
    if (code == HC_ACTION) {
        const CWPRETSTRUCT* sent = reinterpret_cast<const CWPRETSTRUCT*>(lParam);
        if (sent->message == PBM_SETPOS)
            Note(sent->hwnd, static_cast<int>(sent->wParam));
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

extern "C" BOOL WINAPI DllMainCRTStartup(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}
