// Fuzz target: the extractor over arbitrary payload bytes. Each input runs in
// a fresh folder. Every path the run opens or makes must stay inside it (the
// link wraps fopen and mkdir), nothing may appear beside it, the dialog must
// get exactly one end message, the bar only positions from 0 to 100, and the
// run must end cleanly or with one of the known stop reasons.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "payload/archive_extractor.h"
#include "payload/payload_view.h"
#include "payload/progress_window.h"
#include "platform/platform_native.h"
#include "tests/archive_builder.h"

extern "C" FILE* __real_fopen(const char* path, const char* mode);
extern "C" int __real_mkdir(const char* path, mode_t mode);

namespace {

char g_dialogTag;
char g_barTag;
bool g_inRun;

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

// Lexically: relative, and no ".." climbs above the current folder. The run
// folder holds no links, so this is where the path really leads.
void CheckInsideRun(const char* path)
{
    if (g_inRun && path[0] == '/')
        Fail("the run used an absolute path");
    int depth = 0;
    for (const char* p = path; g_inRun && *p != '\0'; p += *p == '/') {
        const std::string component(p, std::strcspn(p, "/"));
        p += component.size();
        depth += component == ".." ? -1 : component.empty() || component == "." ? 0 : 1;
        if (depth < 0)
            Fail("the run used a path that leaves its folder");
    }
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

// Whether a plain inflate of the whole payload reaches the stream's end.
bool StreamIsSound(const uint8_t* data, size_t size)
{
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK)
        Fail("inflateInit failed");
    stream.next_in = const_cast<Bytef*>(data);
    stream.avail_in = static_cast<uInt>(size);
    static unsigned char sink[65536];
    int result = Z_OK;
    for (; result == Z_OK; result = inflate(&stream, Z_NO_FLUSH)) {
        stream.next_out = sink;
        stream.avail_out = sizeof sink;
    }
    inflateEnd(&stream);
    return result == Z_STREAM_END;
}

void CheckStopReason(const char* stop, const uint8_t* data, size_t size)
{
    const char* const known[] = {nullptr,         kStopNoHeader,   kStopBadHeader, kStopNoDirName,
                                 kStopNoFileSize, kStopNoFileName, kStopCantOpen,  kStopExtractionError,
                                 kStopUnrecognized, kStopUnsafePath, kReaderJammed};
    if (std::find(std::begin(known), std::end(known), stop) == std::end(known))
        Fail("the run stopped with an unexpected reason");
    // The payload is handed out whole, so the reader jams exactly when the
    // stream is damaged or cut, and a clean end needs a complete stream.
    if ((stop == nullptr || stop == kReaderJammed) && StreamIsSound(data, size) != (stop == nullptr))
        Fail(stop == nullptr ? "a damaged stream ended the run cleanly" : "a sound stream jammed the reader");
}

}  // namespace

extern "C" FILE* __wrap_fopen(const char* path, const char* mode)
{
    CheckInsideRun(path);
    return __real_fopen(path, mode);
}

extern "C" int __wrap_mkdir(const char* path, mode_t mode)
{
    CheckInsideRun(path);
    return __real_mkdir(path, mode);
}

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

    g_inRun = true;
    ExtractArchive(nullptr);
    g_inRun = false;

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
    CheckStopReason(LastExtractStopReason(), data, size);
    std::filesystem::remove_all(runFolder);
    return 0;
}

// Valid, cut, damaged and garbage payloads.
std::vector<std::string> FuzzSeeds()
{
    std::string body;  // crosses a block edge, yet compresses well
    for (int i = 0; i < 60; ++i)
        body += NoiseBytes(1000, 9);
    const std::string small = kArchiveHeader + DirEntry(".") + DirEntry("./sub") +
                              FileEntry("./sub/a.txt", "alpha\r\nbeta\n") + FileEntry("./empty", "");
    const std::string archive = small + FileEntry("./sub/noise", body);
    const std::string valid = Deflate(archive);
    std::string flipped = valid;
    flipped.back() ^= 0x01;
    return {valid, Deflate(small, {0}), valid.substr(0, valid.size() / 2), valid.substr(0, valid.size() - 4),
            flipped, Deflate("Quarn\n"), Deflate("Quarn\nf\n-1\nneg\n"), Deflate("Quarn\nd\n../up\nf\n1\n/abs\nx"),
            Deflate("Quarn\nd\na\\..\\..\nd\nb/./c\nd\nb\nf\n2\nb/./../b/x\nxy"),
            Deflate("Quarn\nf\n99999999999\nbig\n"), NoiseBytes(3000, 10), ""};
}
