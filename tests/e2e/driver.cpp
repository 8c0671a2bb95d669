// End-to-end driver: runs setup.exe under Wine as a person would, finds each
// dialog by its caption, checks what it shows, presses its buttons, watches
// every position of the progress bar and reports the exit code. Also swaps
// the payload resource of a copy of setup.exe, reads a shell link back, and
// prints the dialogs' pixel sizes for the font in use.
//
//   driver run SETUP.EXE --product NAME --install-dir PATH STEP... [--exit N] [--shots DIR] [--full-bar]
//       NAME and PATH are the installer's configuration, which its dialogs
//       must show. STEP is DIALOG=ACTION: install=ok|cancel|esc|close|command-ok,
//       progress=wait|cancel@PERCENT, success=ok|esc, fail=ok|close.
//       With --full-bar the bar must end at 100. With --swap FILE, the
//       running SETUP.EXE is renamed away and FILE copied to its name before
//       IDD_INSTALL is pressed. Needs bar_watch.dll beside the driver.
//       After the last step no other dialog may appear before the process ends.
//   driver payload-get SETUP.EXE OUT.BIN
//   driver payload-set SETUP.EXE OUT.EXE PAYLOAD.BIN
//   driver read-link FILE.LNK
//   driver open-link FILE.LNK WINDOW_CLASS
//       opens the link through the shell, as a click in the Start menu does,
//       waits for a window of that class to appear, and closes it again.
//   driver sizes
//   driver hold FILE
//       holds FILE open sharing read, write and delete, as a virus scanner
//       or an indexer does, from "held" on its output until its input ends.
// Arguments and output are UTF-8, whatever code page Wine runs programs in.
// Exit code 0 when every expectation held, 1 when one did not, 2 on misuse.
#include <windows.h>
#include <commctrl.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "resources/resource_ids.h"
#include "tests/e2e/bar_watch.h"
#include "tests/expected_dialogs.h"
#include "tests/win32/link_target.h"
#include "tests/win32/wide_text.h"

namespace {

constexpr DWORD kDialogTimeoutMs = 60000;
constexpr DWORD kExitTimeoutMs = 30000;
constexpr WORD kPayloadId = IDR_PAYLOAD;
const char kPayloadType[] = RT_PAYLOAD;

// The class name that the control's window reports.
const char* WindowClassName(ControlKind kind)
{
    switch (kind) {
    case ControlKind::kButton:
        return "Button";
    case ControlKind::kStatic:
        return "Static";
    default:
        return "msctls_progress32";
    }
}

int g_failures = 0;

void Fail(const char* format, ...)
{
    char message[2048];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof(message), format, args);
    va_end(args);
    std::printf("FAIL %s\n", message);
    std::fflush(stdout);
    ++g_failures;
}

INT_PTR CALLBACK ProbeProc(HWND, UINT, WPARAM, LPARAM)
{
    return FALSE;
}

// Pixel size of a width x height dialog-unit client area with the
// templates' font, from a hidden dialog of this process made the same way.
SIZE DialogUnitsToPixels(int width, int height)
{
    struct Template {
        DLGTEMPLATE head;
        WORD menu, windowClass, title, pointSize;
        WCHAR font[14];
    };
    static Template templ = {};
    templ.head.style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT;
    templ.head.cx = 10;
    templ.head.cy = 10;
    templ.pointSize = 8;
    std::memcpy(templ.font, L"MS Sans Serif", sizeof(L"MS Sans Serif"));
    HWND probe = CreateDialogIndirectParamA(GetModuleHandleA(nullptr), &templ.head, nullptr, ProbeProc, 0);
    RECT rect = {0, 0, width, height};
    if (probe == nullptr || !MapDialogRect(probe, &rect))
        Fail("cannot map dialog units (probe dialog not created)");
    if (probe != nullptr)
        DestroyWindow(probe);
    return {rect.right - rect.left, rect.bottom - rect.top};
}

std::string WindowText(HWND window)
{
    wchar_t text[1024] = L"";
    GetWindowTextW(window, text, 1024);
    return Utf8(text);
}

std::string Escaped(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

struct WindowSearch {
    DWORD processId;
    std::vector<HWND> windows;
};

BOOL CALLBACK CollectProcessWindow(HWND window, LPARAM context)
{
    WindowSearch* search = reinterpret_cast<WindowSearch*>(context);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == search->processId && IsWindowVisible(window))
        search->windows.push_back(window);
    return TRUE;
}

// Top-level visible windows of the process.
std::vector<HWND> ProcessWindows(DWORD processId)
{
    WindowSearch search = {processId, {}};
    EnumWindows(CollectProcessWindow, reinterpret_cast<LPARAM>(&search));
    return search.windows;
}

int DialogOf(const std::vector<ExpectedDialog>& layouts, const std::string& caption)
{
    for (int i = 0; i < kDialogCount; ++i) {
        if (layouts[i].caption == caption)
            return i;
    }
    return -1;
}

// Waits for the expected dialog; any other dialog of the process, or the
// process's end, is a failure. The time limit only bounds a hang.
HWND WaitForDialog(HANDLE process, DWORD processId, const std::vector<ExpectedDialog>& layouts, int expected)
{
    DWORD start = GetTickCount();
    while (GetTickCount() - start < kDialogTimeoutMs) {
        for (HWND window : ProcessWindows(processId)) {
            std::string caption = WindowText(window);
            int other = DialogOf(layouts, caption);
            if (other == expected)
                return window;
            if (other >= 0) {
                Fail("%s expected, %s \"%s\" seen", layouts[expected].name, layouts[other].name, caption.c_str());
                return nullptr;
            }
        }
        if (WaitForSingleObject(process, 1) == WAIT_OBJECT_0) {
            Fail("%s expected, the process ended first", layouts[expected].name);
            return nullptr;
        }
    }
    Fail("%s did not appear", layouts[expected].name);
    return nullptr;
}

BOOL CALLBACK CollectChild(HWND child, LPARAM context)
{
    reinterpret_cast<std::vector<HWND>*>(context)->push_back(child);
    return TRUE;
}

void CheckDialog(HWND dialog, const ExpectedDialog& layout)
{
    std::printf("dialog %s \"%s\"\n", layout.name, WindowText(dialog).c_str());
    DWORD style = static_cast<DWORD>(GetWindowLongA(dialog, GWL_STYLE));
    const DWORD frame = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | DS_MODALFRAME;
    if ((style & frame) != frame)
        Fail("%s style %08lx lacks %08lx", layout.name, style, frame);

    RECT client;
    GetClientRect(dialog, &client);
    SIZE expected = DialogUnitsToPixels(layout.cx, layout.cy);
    std::printf("  client %ldx%ld, template %dx%d units = %ldx%ld pixels\n", client.right, client.bottom, layout.cx,
        layout.cy, expected.cx, expected.cy);
    if (client.right != expected.cx || client.bottom != expected.cy)
        Fail("%s client size %ldx%ld, expected %ldx%ld", layout.name, client.right, client.bottom, expected.cx,
            expected.cy);

    std::vector<HWND> children;
    EnumChildWindows(dialog, CollectChild, reinterpret_cast<LPARAM>(&children));
    if (children.size() != layout.controls.size())
        Fail("%s has %u controls, expected %u", layout.name, static_cast<unsigned>(children.size()),
            static_cast<unsigned>(layout.controls.size()));
    // Creation order is z-order, which EnumChildWindows follows.
    for (size_t i = 0; i < children.size() && i < layout.controls.size(); ++i) {
        HWND child = children[i];
        const ExpectedControl& want = layout.controls[i];
        int id = GetDlgCtrlID(child) & 0xFFFF;
        char className[64] = "";
        GetClassNameA(child, className, sizeof(className));
        DWORD childStyle = static_cast<DWORD>(GetWindowLongA(child, GWL_STYLE));
        std::string text = WindowText(child);
        std::printf("  control %u id %d class %s style %08lx text \"%s\"\n", static_cast<unsigned>(i + 1), id,
            className, childStyle, Escaped(text).c_str());
        if (id != want.id)
            Fail("%s control %u id %d, expected %d", layout.name, static_cast<unsigned>(i + 1), id, want.id);
        if (lstrcmpiA(className, WindowClassName(want.kind)) != 0)
            Fail("%s control %u class %s, expected %s", layout.name, static_cast<unsigned>(i + 1), className,
                WindowClassName(want.kind));
        // The bar trades its template border for an edge of its own when made.
        DWORD ignoredBits = lstrcmpiA(className, "msctls_progress32") == 0 ? WS_BORDER : 0;
        if ((childStyle & ~ignoredBits) != (want.style & ~ignoredBits))
            Fail("%s control %u style %08lx, expected %08lx", layout.name, static_cast<unsigned>(i + 1), childStyle,
                want.style);
        // Icons show no text; the rights notice's wording after its first line
        // is free.
        bool textMatches = IsIcon(want) || (IsRightsNotice(want) ? text.rfind(want.text + "\n", 0) == 0 : text == want.text);
        if (!textMatches)
            Fail("%s control %u text \"%s\", expected \"%s\"", layout.name, static_cast<unsigned>(i + 1),
                Escaped(text).c_str(), Escaped(want.text).c_str());
    }
    std::fflush(stdout);
}

// More than a few colours: the painted dialog, not a window whose pixels
// have not reached the display yet.
bool ShowsContent(const std::vector<unsigned char>& pixels)
{
    std::vector<DWORD> seen;
    for (size_t i = 0; i + 2 < pixels.size() && seen.size() <= 4; i += 3) {
        DWORD colour = pixels[i] | pixels[i + 1] << 8 | pixels[i + 2] << 16;
        bool known = false;
        for (DWORD other : seen)
            known = known || other == colour;
        if (!known)
            seen.push_back(colour);
    }
    return seen.size() > 4;
}

// The screen's copy of the dialog's client area as 24-bit rows of stride
// bytes; empty when it cannot be read.
std::vector<unsigned char> CaptureClient(HWND dialog, BITMAPINFOHEADER* header)
{
    RECT client;
    GetClientRect(dialog, &client);
    POINT origin = {0, 0};
    ClientToScreen(dialog, &origin);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = client.right;
    info.bmiHeader.biHeight = client.bottom;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    *header = info.bmiHeader;
    DWORD stride = ((client.right * 3 + 3) / 4) * 4;

    std::vector<unsigned char> pixels;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (bitmap != nullptr) {
        HGDIOBJ old = SelectObject(memory, bitmap);
        if (BitBlt(memory, 0, 0, client.right, client.bottom, screen, origin.x, origin.y, SRCCOPY)) {
            GdiFlush();
            const unsigned char* begin = static_cast<const unsigned char*>(bits);
            pixels.assign(begin, begin + stride * client.bottom);
        }
        SelectObject(memory, old);
        DeleteObject(bitmap);
    }
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return pixels;
}

// Saves the dialog's client area as a 24-bit BMP, copied from the screen.
// The pixels reach the display when the dialog's thread next waits, a
// moment after painting, so it captures until two captures 100 ms apart
// agree and show the dialog; the time limit only bounds a hang.
bool SaveClientBitmap(HWND dialog, const std::string& path)
{
    RedrawWindow(dialog, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    BITMAPINFOHEADER header;
    std::vector<unsigned char> pixels = CaptureClient(dialog, &header);
    DWORD start = GetTickCount();
    for (;;) {
        Sleep(100);
        std::vector<unsigned char> again = CaptureClient(dialog, &header);
        bool settled = !again.empty() && again == pixels && ShowsContent(again);
        pixels.swap(again);
        if (settled || GetTickCount() - start > kDialogTimeoutMs / 6)
            break;
    }
    if (pixels.empty())
        return false;
    BITMAPFILEHEADER file = {};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof(file) + sizeof(header);
    file.bfSize = file.bfOffBits + static_cast<DWORD>(pixels.size());
    FILE* out = _wfopen(Wide(path).c_str(), L"wb");
    bool ok = out != nullptr && std::fwrite(&file, sizeof(file), 1, out) == 1 &&
              std::fwrite(&header, sizeof(header), 1, out) == 1 &&
              std::fwrite(pixels.data(), pixels.size(), 1, out) == 1;
    if (out != nullptr && std::fclose(out) != 0)
        ok = false;
    return ok;
}

void Click(HWND dialog, int id, bool asCommand)
{
    HWND button = GetDlgItem(dialog, id);
    if (asCommand || button == nullptr)
        PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
    else
        PostMessageA(button, BM_CLICK, 0, 0);
}

void WaitUntilGone(HWND window, const char* name)
{
    DWORD start = GetTickCount();
    while (IsWindow(window) && GetTickCount() - start < kDialogTimeoutMs)
        Sleep(1);
    if (IsWindow(window))
        Fail("%s did not close", name);
}

struct Step {
    int dialog;
    std::string action;
};

bool ParseStep(const std::vector<ExpectedDialog>& layouts, const char* argument, Step& step)
{
    const char* equals = std::strchr(argument, '=');
    if (equals == nullptr)
        return false;
    std::string name = "IDD_" + std::string(argument, equals);
    for (char& c : name)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    step.action = equals + 1;
    for (int i = 0; i < kDialogCount; ++i) {
        if (name == layouts[i].name) {
            step.dialog = i;
            return true;
        }
    }
    return false;
}

void PerformStep(HWND dialog, const ExpectedDialog& layout, const std::string& action)
{
    std::printf("press %s %s\n", layout.name, action.c_str());
    std::fflush(stdout);
    if (action == "ok")
        Click(dialog, IDOK, false);
    else if (action == "command-ok")
        Click(dialog, IDOK, true);
    else if (action == "cancel")
        Click(dialog, IDCANCEL, false);
    else if (action == "esc") {
        PostMessageA(dialog, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
        PostMessageA(dialog, WM_KEYUP, VK_ESCAPE, 0xC0010001);
    } else if (action == "close")
        PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    WaitUntilGone(dialog, layout.name);
}

// The record the bar watch fills in the installer (see bar_watch.h).
struct BarWatch {
    HANDLE mapping = nullptr;
    BarRecord* record = nullptr;
    HHOOK hook = nullptr;
};

BarWatch g_barWatch;

// Makes the record and sets the watch on the thread of the installer's
// first dialog, before anything there is pressed: so it sees the progress
// bar from its first position on. The first position waits until
// ReleaseBar, so the progress dialog is read while it is certainly up.
bool WatchBar(HWND dialog, int cancelAt)
{
    DWORD processId = 0;
    DWORD threadId = GetWindowThreadProcessId(dialog, &processId);
    char name[32];
    BarRecordName(processId, name);
    g_barWatch.mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(BarRecord), name);
    if (g_barWatch.mapping != nullptr)
        g_barWatch.record = static_cast<BarRecord*>(MapViewOfFile(g_barWatch.mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    if (g_barWatch.record == nullptr) {
        Fail("cannot make the bar record (error %lu)", GetLastError());
        return false;
    }
    BarRecord* record = g_barWatch.record;
    record->hold = 1;
    record->cancelAt = cancelAt;
    record->cancelledAt = -1;

    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dll(path, length);
    dll = dll.substr(0, dll.find_last_of(L'\\') + 1) + L"bar_watch.dll";
    HMODULE module = LoadLibraryW(dll.c_str());
    HOOKPROC procedure =
        module != nullptr ? reinterpret_cast<HOOKPROC>(reinterpret_cast<void*>(GetProcAddress(module, BAR_WATCH_HOOK))) : nullptr;
    if (procedure != nullptr)
        g_barWatch.hook = SetWindowsHookExW(WH_CALLWNDPROCRET, procedure, module, threadId);
    if (g_barWatch.hook == nullptr) {
        Fail("cannot watch the bar (error %lu)", GetLastError());
        return false;
    }
    return true;
}

void ReleaseBar()
{
    if (g_barWatch.record != nullptr)
        InterlockedExchange(&g_barWatch.record->released, 1);
}

// Waits until the progress dialog ends, then checks every position the bar
// took: in 0..100, never down, at 100 at the end when the payload is whole,
// and Cancel pressed when asked for.
void DriveProgress(HWND dialog, HANDLE process, int cancelAt, bool expectFull)
{
    ReleaseBar();
    while (IsWindow(dialog) && WaitForSingleObject(process, 5) == WAIT_TIMEOUT) {
    }
    const BarRecord* bar = g_barWatch.record;
    if (bar == nullptr)
        return;
    if (bar->cancelledAt >= 0)
        std::printf("press IDD_PROGRESS cancel at %ld\n", bar->cancelledAt);
    std::printf("bar positions %ld first %ld min %ld max %ld monotonic %s out-of-range %ld final %ld\n", bar->count,
        bar->first, bar->min, bar->max, bar->wentDown ? "no" : "yes", bar->outOfRange, bar->last);
    if (bar->count == 0)
        Fail("the bar was never moved");
    if (bar->wentDown)
        Fail("bar went down");
    if (bar->outOfRange != 0 || bar->min < 0 || bar->max > 100)
        Fail("bar left 0..100");
    if (expectFull && bar->last != 100)
        Fail("bar never reached 100");
    if (cancelAt >= 0 && bar->cancelledAt < 0)
        Fail("extraction ended before the bar reached %d", cancelAt);
}

// What one run does: the program, the dialogs it must show in order with
// what to do in each, and what must hold at the end.
struct RunPlan {
    std::string setup;
    std::string shots;  // folder for the dialogs' pictures; empty for none
    std::string swap;   // what takes setup's name while IDD_INSTALL waits; empty for nothing
    int expectedExit = 0;
    bool fullBar = false;
    int cancelAt = -1;  // progress=cancel@PERCENT
    std::vector<ExpectedDialog> layouts;
    std::vector<Step> steps;
};

// Reads run's arguments into plan; false, after saying why, on misuse.
bool ParseRun(int argc, char** argv, RunPlan* plan)
{
    plan->setup = argv[2];
    std::string product;
    std::string folder;
    std::vector<const char*> stepArgs;
    for (int i = 3; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--exit" && i + 1 < argc)
            plan->expectedExit = std::atoi(argv[++i]);
        else if (arg == "--shots" && i + 1 < argc)
            plan->shots = argv[++i];
        else if (arg == "--product" && i + 1 < argc)
            product = argv[++i];
        else if (arg == "--install-dir" && i + 1 < argc)
            folder = argv[++i];
        else if (arg == "--full-bar")
            plan->fullBar = true;
        else if (arg == "--swap" && i + 1 < argc)
            plan->swap = argv[++i];
        else
            stepArgs.push_back(argv[i]);
    }
    if (product.empty() || folder.empty()) {
        std::fprintf(stderr, "driver: run needs --product and --install-dir\n");
        return false;
    }
    plan->layouts = ExpectedDialogs(product, folder);
    for (const char* arg : stepArgs) {
        Step step;
        if (!ParseStep(plan->layouts, arg, step)) {
            std::fprintf(stderr, "driver: bad step %s\n", arg);
            return false;
        }
        if (step.dialog == kProgress && step.action.compare(0, 7, "cancel@") == 0) {
            plan->cancelAt = std::atoi(step.action.c_str() + 7);
        } else if (step.dialog == kProgress && step.action != "wait") {
            std::fprintf(stderr, "driver: unknown progress action %s\n", step.action.c_str());
            return false;
        }
        plan->steps.push_back(step);
    }
    return true;
}

bool StartSetup(const std::string& setup, PROCESS_INFORMATION* child)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    std::wstring program = Wide(setup);
    std::vector<wchar_t> commandLine(program.begin(), program.end());
    commandLine.push_back(L'\0');
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
            child)) {
        std::printf("FAIL cannot start %s (error %lu)\n", setup.c_str(), GetLastError());
        return false;
    }
    CloseHandle(child->hThread);
    std::printf("started %s\n", setup.c_str());
    std::fflush(stdout);
    return true;
}

// What another process of the player's could do while the installer waits:
// rename the running program away and put another file at its name.
void SwapSetup(const RunPlan& plan)
{
    const std::wstring setup = Wide(plan.setup);
    if (!MoveFileExW(setup.c_str(), (setup + L".renamed").c_str(), MOVEFILE_REPLACE_EXISTING) ||
        !CopyFileW(Wide(plan.swap).c_str(), setup.c_str(), TRUE))
        Fail("cannot put %s in the running setup's place (error %lu)", plan.swap.c_str(), GetLastError());
    else
        std::printf("swapped %s for %s\n", plan.setup.c_str(), plan.swap.c_str());
    std::fflush(stdout);
}

void TakePicture(const RunPlan& plan, HWND dialog, const ExpectedDialog& layout)
{
    if (!plan.shots.empty() && !SaveClientBitmap(dialog, plan.shots + "\\" + layout.name + ".bmp"))
        Fail("cannot save %s picture", layout.name);
}

// Meets the dialog of step: checks what it shows, takes its picture, then
// presses it or, for the progress dialog, lets the held bar go and waits
// until the dialog ends. False when the dialog did not come.
bool PerformPlannedStep(const RunPlan& plan, const Step& step, const PROCESS_INFORMATION& child)
{
    HWND dialog = WaitForDialog(child.hProcess, child.dwProcessId, plan.layouts, step.dialog);
    if (dialog == nullptr)
        return false;
    if (g_barWatch.hook == nullptr && !WatchBar(dialog, plan.cancelAt))
        return false;
    const ExpectedDialog& layout = plan.layouts[step.dialog];
    // The modal loop runs once the dialog answers a sent message.
    DWORD_PTR ignored = 0;
    SendMessageTimeoutA(dialog, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &ignored);
    CheckDialog(dialog, layout);
    TakePicture(plan, dialog, layout);
    if (step.dialog == kInstall && !plan.swap.empty())
        SwapSetup(plan);
    if (step.dialog == kProgress)
        DriveProgress(dialog, child.hProcess, plan.cancelAt, plan.fullBar);
    else
        PerformStep(dialog, layout, step.action);
    return true;
}

// After the last step the process must end without showing anything, with
// the expected exit code.
void ExpectQuietEnd(const RunPlan& plan, const PROCESS_INFORMATION& child)
{
    DWORD start = GetTickCount();
    bool ended = false;
    while (GetTickCount() - start < kExitTimeoutMs) {
        if (WaitForSingleObject(child.hProcess, 5) == WAIT_OBJECT_0) {
            ended = true;
            break;
        }
        for (HWND window : ProcessWindows(child.dwProcessId)) {
            std::string caption = WindowText(window);
            Fail("unexpected window \"%s\" after the last step", caption.c_str());
            PostMessageA(window, WM_COMMAND, IDOK, 0);
            Sleep(200);
        }
    }
    if (!ended) {
        Fail("process still running after the last step");
        TerminateProcess(child.hProcess, 99);
        WaitForSingleObject(child.hProcess, 5000);
    }
    DWORD exitCode = 0;
    GetExitCodeProcess(child.hProcess, &exitCode);
    std::printf("exit %lu after last step in %lu ms\n", exitCode, GetTickCount() - start);
    if (ended && static_cast<int>(exitCode) != plan.expectedExit)
        Fail("exit code %lu, expected %d", exitCode, plan.expectedExit);
}

int RunScenario(int argc, char** argv)
{
    RunPlan plan;
    if (!ParseRun(argc, argv, &plan))
        return 2;
    PROCESS_INFORMATION child = {};
    if (!StartSetup(plan.setup, &child))
        return 1;
    for (const Step& step : plan.steps) {
        if (!PerformPlannedStep(plan, step, child))
            break;
    }
    ExpectQuietEnd(plan, child);
    CloseHandle(child.hProcess);
    std::printf("%s\n", g_failures == 0 ? "PASS" : "FAILED");
    return g_failures == 0 ? 0 : 1;
}

struct ModuleCloser {
    void operator()(HMODULE module) const { FreeLibrary(module); }
};

int GetPayload(const char* exe, const char* outPath)
{
    std::unique_ptr<std::remove_pointer_t<HMODULE>, ModuleCloser> module(
        LoadLibraryExW(Wide(exe).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    HRSRC resource = module ? FindResourceA(module.get(), MAKEINTRESOURCEA(kPayloadId), kPayloadType) : nullptr;
    HGLOBAL loaded = resource ? LoadResource(module.get(), resource) : nullptr;
    const void* bytes = loaded ? LockResource(loaded) : nullptr;
    if (bytes == nullptr) {
        std::fprintf(stderr, "driver: no payload in %s\n", exe);
        return 1;
    }
    DWORD size = SizeofResource(module.get(), resource);
    FILE* out = _wfopen(Wide(outPath).c_str(), L"wb");
    bool ok = out != nullptr && std::fwrite(bytes, 1, size, out) == size;
    if (out != nullptr && std::fclose(out) != 0)
        ok = false;
    std::printf("payload %lu bytes\n", size);
    return ok ? 0 : 1;
}

BOOL CALLBACK FirstLanguage(HMODULE, LPCSTR, LPCSTR, WORD language, LONG_PTR context)
{
    *reinterpret_cast<WORD*>(context) = language;
    return FALSE;
}

int SetPayload(const char* exe, const char* outExe, const char* payloadPath)
{
    WORD language = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
    {
        std::unique_ptr<std::remove_pointer_t<HMODULE>, ModuleCloser> module(
            LoadLibraryExW(Wide(exe).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
        if (module)
            EnumResourceLanguagesA(module.get(), kPayloadType, MAKEINTRESOURCEA(kPayloadId), FirstLanguage,
                reinterpret_cast<LONG_PTR>(&language));
    }
    FILE* in = _wfopen(Wide(payloadPath).c_str(), L"rb");
    if (in == nullptr) {
        std::fprintf(stderr, "driver: cannot read %s\n", payloadPath);
        return 1;
    }
    // One allocation of the file's size: a 32-bit driver that grew the
    // buffer by doubling ran out of address space on a 300 MB payload.
    long size = std::fseek(in, 0, SEEK_END) == 0 ? std::ftell(in) : -1;
    std::vector<char> payload(size > 0 ? static_cast<size_t>(size) : 0);
    bool read = size >= 0 && std::fseek(in, 0, SEEK_SET) == 0 &&
                std::fread(payload.data(), 1, payload.size(), in) == payload.size();
    std::fclose(in);
    if (!read) {
        std::fprintf(stderr, "driver: cannot read %s\n", payloadPath);
        return 1;
    }

    if (!CopyFileW(Wide(exe).c_str(), Wide(outExe).c_str(), FALSE)) {
        std::fprintf(stderr, "driver: cannot copy %s\n", exe);
        return 1;
    }
    HANDLE update = BeginUpdateResourceW(Wide(outExe).c_str(), FALSE);
    bool ok = update != nullptr &&
              UpdateResourceA(update, kPayloadType, MAKEINTRESOURCEA(kPayloadId), language, payload.data(),
                  static_cast<DWORD>(payload.size()));
    if (update != nullptr && !EndUpdateResourceA(update, !ok))
        ok = false;
    std::printf("payload %u bytes, language %u, %s\n", static_cast<unsigned>(payload.size()), language,
        ok ? "written" : "NOT written");
    return ok ? 0 : 1;
}

// Reads the link back through the shell's wide interface, which holds the
// names as the installer wrote them, whatever the code page.
int ReadLink(const char* path)
{
    if (FAILED(CoInitialize(nullptr)))
        return 1;
    int result = 1;
    IShellLinkW* link = nullptr;
    IPersistFile* file = nullptr;
    if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
            reinterpret_cast<void**>(&link))) &&
        SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file))) &&
        SUCCEEDED(file->Load(Wide(path).c_str(), STGM_READ))) {
        wchar_t target[MAX_PATH] = L"", folder[MAX_PATH] = L"", description[MAX_PATH] = L"";
        GetLinkTarget(link, target, MAX_PATH);
        link->GetWorkingDirectory(folder, MAX_PATH);
        link->GetDescription(description, MAX_PATH);
        std::printf("target %s\nworking %s\ndescription %s\n", Utf8(target).c_str(), Utf8(folder).c_str(),
            Utf8(description).c_str());
        result = 0;
    } else {
        std::fprintf(stderr, "driver: cannot load link %s\n", path);
    }
    if (file != nullptr)
        file->Release();
    if (link != nullptr)
        link->Release();
    CoUninitialize();
    return result;
}

int OpenLink(const char* path, const char* windowClass)
{
    CoInitialize(nullptr);
    HINSTANCE opened = ShellExecuteW(nullptr, nullptr, Wide(path).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    CoUninitialize();
    if (reinterpret_cast<INT_PTR>(opened) <= 32) {
        std::printf("FAIL the shell cannot open %s (%d)\n", path, static_cast<int>(reinterpret_cast<INT_PTR>(opened)));
        return 1;
    }
    const std::wstring className = Wide(windowClass);
    HWND window = nullptr;
    for (DWORD start = GetTickCount(); window == nullptr && GetTickCount() - start < kDialogTimeoutMs; Sleep(50))
        window = FindWindowW(className.c_str(), nullptr);
    if (window == nullptr) {
        std::printf("FAIL no %s window appeared\n", windowClass);
        return 1;
    }
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, processId);
    std::printf("started \"%s\"\n", WindowText(window).c_str());
    PostMessageW(window, WM_CLOSE, 0, 0);
    bool ended = process != nullptr && WaitForSingleObject(process, kExitTimeoutMs) == WAIT_OBJECT_0;
    if (process != nullptr)
        CloseHandle(process);
    if (!ended) {
        std::printf("FAIL the game did not end when its window was closed\n");
        return 1;
    }
    return 0;
}

int PrintSizes()
{
    for (const ExpectedDialog& layout : ExpectedDialogs("", "")) {
        SIZE size = DialogUnitsToPixels(layout.cx, layout.cy);
        std::printf("%s %ldx%ld\n", layout.name, size.cx, size.cy);
    }
    return g_failures == 0 ? 0 : 1;
}

int HoldFile(const char* path)
{
    if (CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, 0, nullptr) == INVALID_HANDLE_VALUE)
        return 1;
    std::puts("held");
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
    return 0;
}

}  // namespace

int Main(int argc, char** argv)
{
    // In Wine's log, beside its +pid prefixes, so that the harness knows this
    // process for the test's own.
    std::fprintf(stderr, "driver: process %04lx\n", GetCurrentProcessId());
    std::fflush(stderr);
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "run" && argc >= 3)
        return RunScenario(argc, argv);
    if (mode == "payload-get" && argc == 4)
        return GetPayload(argv[2], argv[3]);
    if (mode == "payload-set" && argc == 5)
        return SetPayload(argv[2], argv[3], argv[4]);
    if (mode == "read-link" && argc == 3)
        return ReadLink(argv[2]);
    if (mode == "open-link" && argc == 4)
        return OpenLink(argv[2], argv[3]);
    if (mode == "sizes")
        return PrintSizes();
    if (mode == "hold" && argc == 3)
        return HoldFile(argv[2]);
    std::fprintf(stderr,
        "usage: driver run SETUP.EXE --product NAME --install-dir PATH STEP... [--exit N] [--shots DIR] "
        "[--full-bar]\n"
        "       driver payload-get SETUP.EXE OUT.BIN | payload-set SETUP.EXE OUT.EXE PAYLOAD.BIN\n"
        "       driver read-link FILE.LNK | open-link FILE.LNK WINDOW_CLASS | sizes | hold FILE\n");
    return 2;
}

int wmain(int argc, wchar_t** wideArgv)
{
    std::vector<std::string> arguments;
    for (int i = 0; i < argc; ++i)
        arguments.push_back(Utf8(wideArgv[i]));
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(&argument[0]);
    argv.push_back(nullptr);
    return Main(argc, argv.data());
}
