// The dialog procedures on the real templates, driven from inside the
// process: a hook on the dialog thread sees each dialog open, its bar move
// and the dialog go, acts at those points and notes what it saw. Assertions
// are made after the run, on the main thread.
#include <windows.h>

#include <commctrl.h>
#include <direct.h>
#include <gtest/gtest.h>

#include <string>

#include "payload/archive_extractor.h"
#include "payload/payload_view.h"
#include "payload/progress_window.h"
#include "resources/resource_ids.h"
#include "shell/dialogs.h"
#include "shell/install_config.h"
#include "tests/win32/build_names.h"
#include "tests/win32/replace_import.h"

namespace {

// Ends a dialog that nothing else ended, so a fault fails the test instead of
// hanging it.
constexpr INT_PTR kStuck = 4242;
constexpr UINT kStuckAfterMilliseconds = 20000;

using DialogStep = void (*)(HWND dialog);

// What the test does during one modal run.
struct DialogScript {
    DialogStep opened = nullptr;     // after WM_INITDIALOG has been handled
    DialogStep firstMove = nullptr;  // while the worker waits on its first PBM_SETPOS
};

// What the hook saw during one modal run.
struct DialogLog {
    HWND dialog = nullptr;
    UINT_PTR stuckTimer = 0;
    bool stuck = false;
    int barMoves = 0;
    int startPosition = -1;
    int highestPosition = -1;
    bool destroyed = false;
    WindowHandle barAtDestroy = nullptr;
    WindowHandle dialogAtDestroy = nullptr;
    // Filled by the steps.
    INT_PTR commandResult = -7;
    bool shownAfterCommands = false;  // the dialog hides itself when it is ended
    bool handlesSetAfterCommands = false;
};

DialogScript g_script;
DialogLog g_log;

void CALLBACK EndStuckDialog(HWND, UINT, UINT_PTR, DWORD)
{
    g_log.stuck = true;
    EndDialog(g_log.dialog, kStuck);
}

LRESULT CALLBACK WatchDialog(int code, WPARAM wParam, LPARAM lParam)
{
    const CWPRETSTRUCT* sent = reinterpret_cast<const CWPRETSTRUCT*>(lParam);
    if (code == HC_ACTION && sent->message == WM_INITDIALOG && g_log.dialog == nullptr) {
        g_log.dialog = sent->hwnd;
        g_log.stuckTimer = SetTimer(nullptr, 0, kStuckAfterMilliseconds, EndStuckDialog);
        HWND bar = GetDlgItem(sent->hwnd, IDC_PROGRESS);
        if (bar != nullptr)
            g_log.startPosition = static_cast<int>(SendMessageA(bar, PBM_GETPOS, 0, 0));
        if (g_script.opened != nullptr)
            g_script.opened(sent->hwnd);
    } else if (code == HC_ACTION && sent->message == PBM_SETPOS && GetParent(sent->hwnd) == g_log.dialog) {
        int position = static_cast<int>(SendMessageA(sent->hwnd, PBM_GETPOS, 0, 0));
        if (position > g_log.highestPosition)
            g_log.highestPosition = position;
        if (++g_log.barMoves == 1 && g_script.firstMove != nullptr)
            g_script.firstMove(g_log.dialog);
    } else if (code == HC_ACTION && sent->message == WM_DESTROY && sent->hwnd == g_log.dialog) {
        g_log.destroyed = true;
        g_log.barAtDestroy = g_progressBar.load();
        g_log.dialogAtDestroy = g_progressDialog.load();
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

template <typename Run>
INT_PTR RunScripted(DialogScript script, Run run)
{
    g_script = script;
    g_log = DialogLog();
    HHOOK hook = SetWindowsHookExA(WH_CALLWNDPROCRET, WatchDialog, nullptr, GetCurrentThreadId());
    INT_PTR result = run();
    UnhookWindowsHookEx(hook);
    if (g_log.stuckTimer != 0)
        KillTimer(nullptr, g_log.stuckTimer);
    return g_log.stuck ? kStuck : result;
}

INT_PTR RunButtonDialog(const char* name, DialogStep opened)
{
    DialogScript script;
    script.opened = opened;
    return RunScripted(script, [name] { return RunDialog(name, ButtonDialogProc); });
}

INT_PTR RunProgress(DialogStep firstMove)
{
    DialogScript script;
    script.firstMove = firstMove;
    return RunScripted(script, [] { return RunProgressDialog(); });
}

// Ways to end a dialog, as a user would.
void ClickOk(HWND dialog) { PostMessageA(GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0); }
void ClickCancel(HWND dialog) { PostMessageA(GetDlgItem(dialog, IDCANCEL), BM_CLICK, 0, 0); }
void OkAsAccelerator(HWND dialog) { PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, 1), 0); }
void PressEsc(HWND dialog)
{
    HWND button = GetWindow(dialog, GW_CHILD);
    PostMessageA(button, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
}
void Close(HWND dialog) { PostMessageA(dialog, WM_CLOSE, 0, 0); }
void CloseBox(HWND dialog) { PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0); }

struct Ending {
    const char* what;
    DialogStep perform;
    INT_PTR result;
};

const Ending kOkEndings[] = {
    {"OK clicked", ClickOk, 0},
    {"OK as an accelerator", OkAsAccelerator, 0},
    {"Esc", PressEsc, -1},
    {"WM_CLOSE", Close, -1},
    {"close box", CloseBox, -1},
};

// A command of another ID, a static control's included, ends nothing: the
// ending posted after it still decides the result.
void PostOtherCommands(HWND dialog)
{
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(7, BN_CLICKED), 0);
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(0xFFFF, 0), 0);
    g_log.commandResult = ButtonDialogProc(dialog, WM_COMMAND, MAKEWPARAM(7, BN_CLICKED), 0);
}
void OtherCommandsThenOk(HWND dialog)
{
    PostOtherCommands(dialog);
    ClickOk(dialog);
}
void OtherCommandsThenEsc(HWND dialog)
{
    PostOtherCommands(dialog);
    PressEsc(dialog);
}

}  // namespace

class ButtonDialogs : public testing::Test {
protected:
    void SetUp() override { g_instance = GetModuleHandleA(nullptr); }
};

TEST_F(ButtonDialogs, InstallGoesOnWithInstallAndStopsWithCancelEscOrClose)
{
    EXPECT_EQ(RunButtonDialog("IDD_INSTALL", ClickCancel), -1);
    for (const Ending& ending : kOkEndings)
        EXPECT_EQ(RunButtonDialog("IDD_INSTALL", ending.perform), ending.result) << ending.what;
}

TEST_F(ButtonDialogs, SuccessAndFailGoOnWithOkAndStopWithEscOrClose)
{
    for (const char* name : {"IDD_SUCCESS", "IDD_FAIL"}) {
        for (const Ending& ending : kOkEndings)
            EXPECT_EQ(RunButtonDialog(name, ending.perform), ending.result) << name << ", " << ending.what;
    }
}

TEST_F(ButtonDialogs, OtherCommandsLeaveTheDialogOpen)
{
    for (const char* name : {"IDD_INSTALL", "IDD_SUCCESS", "IDD_FAIL"}) {
        EXPECT_EQ(RunButtonDialog(name, OtherCommandsThenOk), 0) << name;
        EXPECT_EQ(g_log.commandResult, TRUE) << name;
        EXPECT_EQ(RunButtonDialog(name, OtherCommandsThenEsc), -1) << name;
    }
}

namespace {

void SendOtherCommandsToProgress(HWND dialog)
{
    ShowWindow(dialog, SW_SHOWNA);
    SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(7, BN_CLICKED), 0);
    g_log.commandResult = ProgressDialogProc(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    g_log.shownAfterCommands = IsWindowVisible(dialog) != FALSE;
    g_log.handlesSetAfterCommands = g_progressDialog.load() == dialog && g_progressBar.load() != nullptr;
}

// Runs the dialog's own messages inside the hook, so that the worker stays
// blocked on its progress update until the dialog has asked to end.
void PumpUntilEnded(HWND dialog)
{
    for (int round = 0; round < 300 && g_progressDialog.load() != nullptr; ++round) {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (!IsDialogMessageA(dialog, &message)) {
                TranslateMessage(&message);
                DispatchMessageA(&message);
            }
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
    // The modal loop looks at the end flag only after a message of its own.
    PostMessageA(dialog, WM_NULL, 0, 0);
}

void CancelNow(HWND dialog)
{
    SendMessageA(GetDlgItem(dialog, IDCANCEL), BM_CLICK, 0, 0);
}

void EscNow(HWND dialog)
{
    PostMessageA(GetDlgItem(dialog, IDCANCEL), WM_KEYDOWN, VK_ESCAPE, 0x00010001);
    PumpUntilEnded(dialog);
}

void CloseNow(HWND dialog)
{
    PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    PumpUntilEnded(dialog);
}

int g_threadStarts = 0;

uintptr_t __cdecl RefuseThread(void(__cdecl*)(void*), unsigned, void*)
{
    ++g_threadStarts;
    return static_cast<uintptr_t>(-1);
}

}  // namespace

// Each run extracts into a folder of its own, made current.
class ProgressDialog : public testing::Test {
protected:
    void SetUp() override
    {
        g_instance = GetModuleHandleA(nullptr);
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        folder_ = std::string(temp) + "extract-" + testing::UnitTest::GetInstance()->current_test_info()->name();
        CreateDirectoryA(folder_.c_str(), nullptr);
        ASSERT_EQ(_chdir(folder_.c_str()), 0);
    }

    void TearDown() override
    {
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        _chdir(temp);
    }

    void UseSamplePayload()
    {
        HRSRC resource = FindResourceA(nullptr, MAKEINTRESOURCEA(IDR_PAYLOAD), RT_PAYLOAD);
        ASSERT_NE(resource, nullptr);
        g_payloadView.size = static_cast<int32_t>(SizeofResource(nullptr, resource));
        g_payloadView.base = static_cast<const unsigned char*>(LockResource(LoadResource(nullptr, resource)));
        g_payloadView.consumed = 0;
        ASSERT_GT(g_payloadView.size, 10000) << "the bar should move more than once";
    }

    bool Extracted(const char* name) const
    {
        return GetFileAttributesW(BuildWide(folder_ + "\\" + name).c_str()) != INVALID_FILE_ATTRIBUTES;
    }

    std::string folder_;
};

TEST_F(ProgressDialog, RunsTheSamplePayloadToTheEndWithTheBarAt100)
{
    UseSamplePayload();

    EXPECT_EQ(RunProgress(nullptr), 0);

    EXPECT_EQ(g_log.startPosition, 0);
    EXPECT_GE(g_log.barMoves, 2);
    EXPECT_EQ(g_log.highestPosition, 100);
    EXPECT_EQ(g_payloadView.consumed, g_payloadView.size);
    ASSERT_TRUE(g_log.destroyed);
    EXPECT_EQ(g_log.barAtDestroy, nullptr);
    EXPECT_EQ(g_log.dialogAtDestroy, nullptr);
    EXPECT_EQ(g_progressBar.load(), nullptr);
    EXPECT_EQ(g_progressDialog.load(), nullptr);
    EXPECT_TRUE(WaitForExtractionJob(5000));
    EXPECT_EQ(LastExtractStopReason(), nullptr);
    EXPECT_TRUE(Extracted(kExeName));
}

TEST_F(ProgressDialog, EndsWithOneWhenTheExtractionStopsWithAReason)
{
    static const unsigned char garbage[] = {0x78, 0x9C, 0xFF, 0xFF, 0x13, 0x37, 0x00, 0x42};
    g_payloadView = {garbage, static_cast<int32_t>(sizeof garbage), 0};

    EXPECT_EQ(RunProgress(nullptr), 1);

    EXPECT_NE(LastExtractStopReason(), nullptr);
    ASSERT_TRUE(g_log.destroyed);
    EXPECT_EQ(g_log.barAtDestroy, nullptr);
    EXPECT_EQ(g_log.dialogAtDestroy, nullptr);
    EXPECT_TRUE(WaitForExtractionJob(5000));
}

TEST_F(ProgressDialog, OtherCommandsLeaveItOpenWhileTheWorkerRuns)
{
    UseSamplePayload();

    EXPECT_EQ(RunProgress(SendOtherCommandsToProgress), 0);

    EXPECT_TRUE(g_log.shownAfterCommands);
    EXPECT_TRUE(g_log.handlesSetAfterCommands);
    EXPECT_EQ(g_log.commandResult, TRUE);
    EXPECT_EQ(g_log.highestPosition, 100);
    EXPECT_EQ(g_log.barAtDestroy, nullptr);
    EXPECT_EQ(g_log.dialogAtDestroy, nullptr);
    EXPECT_TRUE(Extracted(kExeName));
    EXPECT_TRUE(WaitForExtractionJob(5000));
}

TEST_F(ProgressDialog, CancelEscOrCloseEndItWithMinusOneAndStopTheWorker)
{
    UseSamplePayload();
    const Ending endings[] = {{"Cancel", CancelNow, -1}, {"Esc", EscNow, -1}, {"close box", CloseNow, -1}};
    for (const Ending& ending : endings) {
        EXPECT_EQ(RunProgress(ending.perform), ending.result) << ending.what;

        EXPECT_EQ(g_log.barMoves, 1) << ending.what;
        EXPECT_TRUE(g_log.destroyed) << ending.what;
        EXPECT_EQ(g_log.barAtDestroy, nullptr) << ending.what;
        EXPECT_EQ(g_log.dialogAtDestroy, nullptr) << ending.what;
        EXPECT_EQ(g_progressBar.load(), nullptr) << ending.what;
        EXPECT_EQ(g_progressDialog.load(), nullptr) << ending.what;
        EXPECT_TRUE(WaitForExtractionJob(5000)) << ending.what;
        ASSERT_NE(LastExtractStopReason(), nullptr) << ending.what;
        EXPECT_STREQ(LastExtractStopReason(), kStopCancelled) << ending.what;
    }
}

TEST_F(ProgressDialog, EndsAtOnceWithMinusOneWhenTheWorkerCannotStart)
{
    UseSamplePayload();
    g_payloadView.consumed = 5;
    g_threadStarts = 0;
    void* beginThread = ReplaceImport("msvcrt.dll", "_beginthread", reinterpret_cast<void*>(RefuseThread));
    ASSERT_NE(beginThread, nullptr);

    INT_PTR result = RunProgress(nullptr);
    ReplaceImport("msvcrt.dll", "_beginthread", beginThread);

    EXPECT_EQ(result, -1);
    EXPECT_EQ(g_threadStarts, 1);
    EXPECT_EQ(g_log.barMoves, 0);
    EXPECT_EQ(g_payloadView.consumed, 5) << "no extraction ran";
    EXPECT_EQ(g_progressBar.load(), nullptr);
    EXPECT_EQ(g_progressDialog.load(), nullptr);
    EXPECT_TRUE(WaitForExtractionJob(0));
}
