// Fuzz target: the extractor over arbitrary payload bytes. Each input runs in
// a fresh folder; nothing may appear beside that folder, the dialog must get
// exactly one end message and the bar only positions from 0 to 100.
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "payload/archive_extractor.h"
#include "payload/payload_view.h"
#include "payload/progress_window.h"
#include "platform/platform_native.h"

namespace {

char g_dialogTag;
char g_barTag;

struct RunWatch {
    int doneMessages;
    bool positionOutOfRange;
};

intptr_t WatchMessage(void* context, WindowHandle, unsigned message, uintptr_t wParam, intptr_t)
{
    auto* watch = static_cast<RunWatch*>(context);
    if (message == WM_EXTRACT_DONE)
        ++watch->doneMessages;
    if (message == kProgressSetPos && wParam > 100)
        watch->positionOutOfRange = true;
    return 0;
}

[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "extract fuzzer: %s\n", what);
    std::abort();
}

std::string g_outerFolder;

void RemoveOuterFolder()
{
    std::error_code ignored;
    std::filesystem::remove_all(g_outerFolder, ignored);
}

const std::string& OuterFolder()
{
    if (g_outerFolder.empty()) {
        std::string pattern = (std::filesystem::temp_directory_path() / "quarn-fuzz-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr)
            Fail("cannot make a temporary folder");
        g_outerFolder = pattern;
        std::atexit(RemoveOuterFolder);
    }
    return g_outerFolder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > static_cast<size_t>(INT32_MAX))
        return 0;
    const std::string runFolder = OuterFolder() + "/run";
    char startFolder[PATH_MAX];
    if (getcwd(startFolder, sizeof startFolder) == nullptr || mkdir(runFolder.c_str(), 0700) != 0 ||
        chdir(runFolder.c_str()) != 0)
        Fail("cannot enter the run folder");

    RunWatch watch{0, false};
    SetMessageHook(WatchMessage, &watch);
    g_progressDialog.store(&g_dialogTag);
    g_progressBar.store(&g_barTag);
    ResetExtractStop();
    g_payloadView = PayloadView{data, static_cast<int32_t>(size), 0};

    ExtractArchive(nullptr);

    g_payloadView = PayloadView{nullptr, 0, 0};
    g_progressDialog.store(nullptr);
    g_progressBar.store(nullptr);
    SetMessageHook(nullptr, nullptr);
    if (chdir(startFolder) != 0)
        Fail("cannot leave the run folder");

    for (const auto& entry : std::filesystem::directory_iterator(OuterFolder())) {
        if (entry.path().filename() != "run")
            Fail("the archive wrote outside the run folder");
    }
    if (watch.doneMessages != 1)
        Fail("the run did not end with exactly one WM_EXTRACT_DONE");
    if (watch.positionOutOfRange)
        Fail("the bar was sent a position above 100");
    std::filesystem::remove_all(runFolder);
    return 0;
}
