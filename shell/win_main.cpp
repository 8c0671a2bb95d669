// The installer's entry and its fixed install sequence: confirm, lock the
// payload, enter the install folder, extract under the progress dialog, make
// the Start-menu shortcut, and say how it went.
#include <windows.h>

#include <cstdlib>
#include <new>

#include "payload/appended_payload.h"
#include "payload/payload_view.h"
#include "platform/payload_file.h"
#include "platform/platform_win32.h"
#include "resources/resource_ids.h"
#include "shell/dialogs.h"
#include "shell/install_config.h"
#include "shortcut/start_menu_shortcut.h"

// The installer allocates only with the non-throwing new. These keep the C++
// runtime's exception and demangling support, three times the size of the
// rest, out of setup.exe.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    return std::malloc(size != 0 ? size : 1);
}

void operator delete(void* pointer) noexcept
{
    std::free(pointer);
}

void operator delete(void* pointer, std::size_t) noexcept
{
    std::free(pointer);
}

// How long the failure path waits for a cancelled worker to stop writing.
constexpr DWORD kWorkerGraceMilliseconds = 5000;

[[noreturn]] static void Fail()
{
    std::exit(1);
}

// Points g_payloadView at the payload: the resource itself, or the part of
// setup.exe's file that the resource's record names, checked window by
// window against the record's digests as it is read. False when there is
// none, the record is broken, or the file is shorter than the record says.
static bool FindPayload()
{
    HMODULE module = GetModuleHandleA(nullptr);
    if (module == nullptr)
        return false;
    HRSRC resource = FindResourceA(module, MAKEINTRESOURCEA(IDR_PAYLOAD), RT_PAYLOAD);
    if (resource == nullptr)
        return false;
    DWORD size = SizeofResource(module, resource);
    HGLOBAL loaded = LoadResource(nullptr, resource);
    const unsigned char* bytes = loaded != nullptr ? static_cast<const unsigned char*>(LockResource(loaded)) : nullptr;
    if (size == 0 || bytes == nullptr)
        return false;
    AppendedPayload appended;
    const RecordKind kind = ReadAppendedRecord(bytes, size, &appended);
    if (kind == RecordKind::kNone) {
        g_payloadView = {bytes, static_cast<int64_t>(size), 0, nullptr, nullptr};
        return true;
    }
    // Open for the rest of the process.
    static PayloadFile file;
    if (kind != RecordKind::kRecord || !OpenPayloadFile(&file, nullptr, appended, kAppendedWindowShift))
        return false;
    g_payloadView = {nullptr, static_cast<int64_t>(appended.length), 0, ReadPayloadWindow, &file};
    return true;
}

// Returns after a completed install; every failure ends the process with
// exit code 1.
static void RunInstall()
{
    if (!FindPayload())
        Fail();

    if (!EnterInstallFolder(kInstallDir))
        Fail();
    RemoveSetAsideFiles();

    if (RunProgressDialog() == 0) {
        CreateStartMenuShortcut(kProductName, kProductName, kInstallDir, kExeName, nullptr);
        RunDialog("IDD_SUCCESS", ButtonDialogProc);
        return;
    }
    RunDialog("IDD_FAIL", ButtonDialogProc);
    // A cancelled worker stops at its next block; let it close its file.
    WaitForExtractionJob(kWorkerGraceMilliseconds);
    Fail();
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int showCommand)
{
    (void)previous;
    (void)commandLine;
    (void)showCommand;
    g_instance = instance;
    if (RunDialog("IDD_INSTALL", ButtonDialogProc) == 0)
        RunInstall();
    return 0;
}
