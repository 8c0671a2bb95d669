// What the bar watch, a hook DLL the driver sets on the installer's dialog
// thread, learns of the progress bar: every position it is given, read back
// on that thread right after the bar took it, so no position is missed
// however busy the machine is. The driver makes the record in a named
// mapping before setting the hook, and reads it once the dialog is gone.
#ifndef TESTS_E2E_BAR_WATCH_H
#define TESTS_E2E_BAR_WATCH_H

#include <windows.h>

struct BarRecord {
    // Set by the driver.
    volatile LONG hold;      // keep the first position until released
    volatile LONG released;
    volatile LONG cancelAt;  // press Cancel at the first position at or above; -1 for none
    // Set by the watch.
    volatile LONG count;
    volatile LONG first;
    volatile LONG min;
    volatile LONG max;
    volatile LONG last;
    volatile LONG wentDown;
    volatile LONG outOfRange;   // positions asked for outside 0..100
    volatile LONG cancelledAt;  // -1 until Cancel was pressed
};

// The hook procedure's export (WH_CALLWNDPROCRET).
#define BAR_WATCH_HOOK "BarWatchHook"

// Name of the record of the installer process processId; name holds 32.
inline void BarRecordName(DWORD processId, char* name)
{
    wsprintfA(name, "Local\\bar-watch-%lu", processId);
}

#endif
